// sat_cli as a technician runs it: "./sat_cli ..." in a temporary directory
// next to ./libzunra_sat_rpi.so and config.ini, its stdout, stderr and exit
// status compared exactly. Stand-in libraries record what they are passed;
// the real library talks to a simulated unit on a pseudo-terminal. The
// session numbers, compiled in from the exerciser, are tested directly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cfe_decoding.h"
#include "session_numbers.h"
#include "sim_unit.h"

using namespace zunra::cli;
using zunra::sim::SimUnit;

namespace {

const std::string kSep = std::string(72, '=') + "\n";
const std::string kDash = "\n" + std::string(70, '-') + "\n";
const std::string kLogEnd = std::string(49, '=') + "\n";  // ExtrairLogs' closing line

std::string banner(const std::string& name, const std::string& parameters) {
  return kSep + "\nExecutando funcao: " + name + "\nParametros: \n" + parameters;
}
std::string returned(const std::string& reply) {
  return "\nRetorno: " + reply + "\n\n" + kSep;
}
const std::string kReplyR = returned("r");  // what the stand-in answers unless told otherwise
// A call's banner and the stand-in's usual answer.
std::string called(const std::string& name, const std::string& parameters) {
  return banner(name, parameters) + kReplyR;
}
// What the printers show after a sale or cancellation reply.
std::string receipt(const std::string& kind, const std::string& key, const std::string& text) {
  return "\nChave " + kind + ": " + key + "\n" + kDash + "\n" + kind + ": " + text + "\n\n" + kDash + "\n";
}
std::string sale_banner(const std::string& file) {
  return banner("EnviarDadosVendas", "     Cod. Ativacao: 12345678\n       Arquivo CFe: " + file + "\n");
}
std::string cancel_banner(const std::string& file) {
  return banner("CancelarUltimaVenda",
                "       Cod. Ativacao: 12345678\n     Arquivo CFeCanc: " + file + "\n");
}
const std::string kLogHead = banner("ExtrairLogs", "     Cod. Ativacao: 12345678\n") + "Cod Retorno: ";
const std::string kLogSaved = kDash + "Log salvo em: log_sat.txt\n" + kDash + "\n" + kLogEnd;

std::string read_file(const std::string& path) {
  return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

struct CliRun {
  std::string out, err;
  int status;
};

void expect_run(const CliRun& r, const std::string& out, int status = 0, const std::string& err = "") {
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, status);
}

// A working directory with ./sat_cli, the library (none when empty) and the
// settings directory; removed at scope exit.
struct WorkDir {
  explicit WorkDir(const std::string& library = STUB_FULL) {
    std::string pattern = "/tmp/sat_cli_test.XXXXXX";
    path = mkdtemp(pattern.data());
    std::filesystem::create_directory(path + "/settings");
    std::filesystem::create_symlink(SAT_CLI_PATH, path + "/sat_cli");
    if (!library.empty()) std::filesystem::create_symlink(library, path + "/libzunra_sat_rpi.so");
  }
  ~WorkDir() { std::filesystem::remove_all(path); }

  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path + "/" + name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) const { return read_file(path + "/" + name); }

  // A stand-in library answers `reply`; a run that hangs is killed, so the suite always ends.
  CliRun run(const std::vector<std::string>& args, const std::string& reply = "r") const {
    const auto quoted = [](const std::string& s) {
      return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'";
    };
    std::string command = "cd " + path + " && ZUNRA_SAT_DIR=" + path +
                          "/settings STUB_CALLS=calls STUB_REPLY=" + quoted(reply) +
                          " timeout -s KILL 60 " ZUNRA_TEST_EMULATOR " ./sat_cli";
    for (const auto& a : args) command += " " + quoted(a);
    const int status = std::system((command + " >settings/out 2>settings/err").c_str());
    return {read("settings/out"), read("settings/err"), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  }
  // The stand-in's calls since the last look, the session number (it is random) written as S.
  std::string calls() const {
    const std::string text = read("calls");
    std::filesystem::remove(path + "/calls");
    return std::regex_replace(text, std::regex("^(\\w+) \\d+( |$)", std::regex::multiline), "$1 S$2");
  }
  std::string path;
};

}  // namespace

TEST(SatCli, UsageUnsupportedFunctionsAndWrongCounts) {
  const auto usage = [](bool with_ultima_sessao) {
    return std::string(
               "\n./sat_cli - Versao: 3.0.0.5 - Zunra Informatica\nSintaxe: ./sat_cli funcao [args] \n") +
           "funcoes:\n   AssociarAssinatura codigoDeAtivacao (config.ini)\n"
           "   AtivarSAT codigoDeAtivacao (config.ini)\n   AtualizarSoftwareSAT codigoDeAtivacao\n"
           "   BloquearSAT codigoDeAtivacao\n   ConfigurarInterfaceDeRede codigoDeAtivacao (config.ini)\n"
           "   ConsultarSAT\n   ConsultarNumeroSessao codigoDeAtivacao cNumeroDeSessao\n" +
           (with_ultima_sessao ? "   ConsultarUltimaSessaoFiscal codigoDeAtivacao\n" : "") +
           "   ConsultarStatusOperacional codigoDeAtivacao\n   DesbloquearSAT codigoDeAtivacao\n"
           "   ExtrairLogs codigoDeAtivacao\n   TesteFimAFim codigoDeAtivacao (config.ini)\n"
           "   TrocarCodigoDeAtivacao codigoDeAtivacao opcao novoCodigo\n"
           "   EnviarDadosVenda codigoDeAtivacao arquivo_CFe\n"
           "   CancelarUltimaVenda codigoDeAtivacao arquivo_CFeCanc\n\n";
  };
  WorkDir full, old(STUB_OLD);
  expect_run(full.run({}), usage(true), 1);
  // Names match case included; the technician is told which name was not known.
  expect_run(full.run({"consultarsat"}), usage(true), 1, "funcao desconhecida: consultarsat\n");
  const std::string missing =
      "dlsym_ConsultarUltimaSessaoFiscal: ./libzunra_sat_rpi.so: undefined symbol: "
      "ConsultarUltimaSessaoFiscal\n"
      "dlsym_SetDriver: ./libzunra_sat_rpi.so: undefined symbol: SetDriver\n";
  expect_run(old.run({}), missing + usage(false), 1);
  // Unsupported is decided before the argument count.
  for (const char* name : {"ConsultarUltimaSessaoFiscal", "SetDriver"})
    expect_run(old.run({name}), missing + "Funcao nao suportada pela biblioteca\n\n", 1);
  expect_run(WorkDir(STUB_BROKEN).run({"ConsultarSAT"}),
             "dlsym_EnviarDadosVendas: ./libzunra_sat_rpi.so: undefined symbol: EnviarDadosVenda\n", 1);
  // Without the library: where it was looked for, and the link that brings the installed one.
  WorkDir none("");
  const std::string looked = "biblioteca procurada em: " + none.path + "/libzunra_sat_rpi.so\n";
  expect_run(
      none.run({"ConsultarSAT"}),
      "dl_handle: ./libzunra_sat_rpi.so: cannot open shared object file: No such file or directory\n", 1,
      looked + "para usar a biblioteca instalada: ln -sf " ZUNRA_INSTALL_LIBDIR "/libzunra_sat_rpi.so .\n");
  none.write("libzunra_sat_rpi.so", std::string(4096, 'x'));  // there, but no library: no link to make
  const CliRun broken = none.run({"ConsultarSAT"});
  EXPECT_EQ(broken.out.rfind("dl_handle: ./libzunra_sat_rpi.so: ", 0), 0u) << broken.out;
  EXPECT_EQ(broken.err, looked);

  // clang-format off
  std::vector<std::pair<std::vector<std::string>, std::string>> counts = {
      {{"ConsultarNumeroSessao", "1"}, "ConsultarNumeroSessao codigoDeAtivacao  cNumeroDeSessao"},
      {{"ConsultarUltimaSessaoFiscal"}, "ConsultarUltimaSessaoFiscal codigoDeAtivacao"},
      {{"TrocarCodigoDeAtivacao", "1", "2"}, "TrocarCodigoDeAtivacao codigoDeAtivacao opcao novoCodigo\n"
                                            "         opcao: 1 -> Codigo de Ativacao - 2 -> Codigo de Emergencia"},
      {{"EnviarDadosVenda", "1"}, "EnviarDadosVenda codigoDeAtivacao  arquivoCFe"},
      {{"CancelarUltimaVenda", "1", "2", "3"}, "CancelarUltimaVenda codigoDeAtivacao  arquivoCFeCanc"},
      {{"SetDriver", "1"}, "SetDriver Parametro Valor "}};
  // clang-format on
  for (std::string name : {"AtivarSAT", "TesteFimAFim", "ConfigurarInterfaceDeRede", "AssociarAssinatura"})
    counts.push_back({{name}, name + " codigoDeAtivacao (+ config.ini)"});
  for (std::string name :
       {"ConsultarStatusOperacional", "AtualizarSoftwareSAT", "ExtrairLogs", "BloquearSAT", "DesbloquearSAT"})
    counts.push_back({{name, "1", "2"}, name + " codigoDeAtivacao "});
  for (const auto& [args, syntax] : counts)
    expect_run(full.run(args), "Sintaxe: ./sat_cli " + syntax + "\n\n", 1);
  EXPECT_EQ(full.calls() + old.calls(), "");
}

TEST(SatCli, PrintsParametersAndPassesThemOn) {
  WorkDir dir;
  // Extra words after ConsultarSAT are ignored.
  expect_run(dir.run({"ConsultarSAT", "extra"}), kSep + "\nExecutando funcao: ConsultarSAT\n" + kReplyR);
  for (const char* name :
       {"ConsultarStatusOperacional", "AtualizarSoftwareSAT", "BloquearSAT", "DesbloquearSAT"})
    expect_run(dir.run({name, "cod 1"}), called(name, "     Cod. Ativacao: cod 1\n"));
  expect_run(dir.run({"ConsultarNumeroSessao", "123", "x9"}),
             called("ConsultarNumeroSessao", "     Cod. Ativacao: 123\n     Sessao a consultar: x9\n"));
  expect_run(dir.run({"SetDriver", "SERIAL", "pts/3"}),
             called("SetDriver", "     Parametro: SERIAL\n         Valor: pts/3\n"));
  // The option's line follows its value; any value goes to the library.
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> options = {
      {"1", "     Opcao: 1 - Codigo de Ativacao\n     Cod. Ativacao: old\n"},
      {"2", "     Opcao: 2 - Codigo de Emergencia\n     Cod. Emeergencia: old\n"},
      {"7", "     Opcao: 7 - Desconhecido\n     Cod. Ativacao: old\n"}};
  // clang-format on
  for (const auto& [option, lines] : options)
    expect_run(dir.run({"TrocarCodigoDeAtivacao", "old", option, "new"}),
               called("TrocarCodigoDeAtivacao", lines + "     Novo Codigo: new\n"));
  EXPECT_EQ(dir.calls(),
            "ConsultarSAT S\nConsultarStatusOperacional S [cod 1]\nAtualizarSoftwareSAT S [cod 1]\n"
            "BloquearSAT S [cod 1]\nDesbloquearSAT S [cod 1]\nConsultarNumeroSessao S [123] 0\n"
            "SetDriver [SERIAL] [pts/3]\nTrocarCodigoDeAtivacao S [old] 1 [new] [new]\n"
            "TrocarCodigoDeAtivacao S [old] 2 [new] [new]\nTrocarCodigoDeAtivacao S [old] 7 [new] [new]\n");
}

namespace {

std::string sale_document(const std::string& layout, const std::string& sh, const std::string& sign,
                          const std::string& contrib, const std::string& ie) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFe><infCFe versaoDadosEnt=\"" + layout +
         "\"><ide><CNPJ>" + sh + "</CNPJ><signAC>" + sign +
         "</signAC><numeroCaixa>099</numeroCaixa></ide><emit><CNPJ>" + contrib + "</CNPJ><IE>" + ie +
         "</IE><cRegTribISSQN>1</cRegTribISSQN><indRatISSQN>N</indRatISSQN></emit>"
         "<dest><CNPJ>48291735000148</CNPJ></dest><det "
         "nItem=\"1\"><prod><cProd>001</cProd><xProd>MiniPc</xProd>"
         "<CFOP>5001</CFOP><uCom>UN</uCom><qCom>1.0000</qCom><vUnCom>654.320</vUnCom><indRegra>A</indRegra>"
         "</prod><imposto><vItem12741>1.00</vItem12741><ICMS><ICMS00><Orig>0</Orig><CST>00</CST>"
         "<pICMS>12.00</pICMS></ICMS00></ICMS><PIS><PISAliq><CST>01</CST><vBC>654.32</vBC><pPIS>0.0600</pPIS>"
         "</PISAliq></PIS><COFINS><COFINSAliq><CST>01</CST><vBC>654.32</vBC><pCOFINS>0.0400</pCOFINS>"
         "</COFINSAliq></COFINS></imposto></det><total><vCFeLei12741>1.00</vCFeLei12741></total><pgto><MP>"
         "<cMP>01</cMP><vMP>2000.00</vMP></MP></pgto></infCFe></CFe>";
}

}  // namespace

TEST(SatCli, DefaultSectionFeedsActivationSignatureAndTestSale) {
  WorkDir dir;
  expect_run(dir.run({"AtivarSAT", "123"}), "Erro no arquivo config.ini\n", 1,
             "config.ini nao encontrado: " + dir.path + "/config.ini\n");
  ASSERT_EQ(mkfifo((dir.path + "/config.ini").c_str(), 0666), 0);  // nobody writes it: reading it would wait
  expect_run(dir.run({"AtivarSAT", "123"}), "Erro no arquivo config.ini\n", 1);
  std::filesystem::remove(dir.path + "/config.ini");
  dir.write(
      "config.ini",
      "[REDE]\n[DEFAULT]\nCNPJ_CONTRIB=111\nIE_CONTRIB=222\nCNPJ_SH=333\nASSINATURA_SH=sig&<\"'>\nUF=35\n");
  dir.run({"AtivarSAT", "123"});
  expect_run(dir.run({"AssociarAssinatura", "123"}),
             called("AssociarAssinatura",
                    "     Cod. Ativacao: 123\n     CNPJValue: 333111\n     AssinaturaSH: sig&<\"'>\n"));
  // Values are escaped inside the document, shown as read everywhere else.
  const std::string escaped = sale_document("0.06", "333", "sig&amp;&lt;&quot;&apos;&gt;", "111", "222");
  expect_run(dir.run({"TesteFimAFim", "123"}),
             called("TesteFimAFim",
                    "     Cod. Ativacao: 123\n     Layout: 0.06\n     CNPJ SH: 333\n"
                    "     AssinaturaSH: sig&<\"'>\n     CNPJ Contribuinte: 111\n"
                    "     IE Contribuinte: 222\n     XML: " +
                        escaped + "\n"));
  EXPECT_EQ(dir.calls(),
            "AtivarSAT S 1 [123] [111] 35\nAssociarAssinatura S [123] [333111] [sig&<\"'>]\n"
            "TesteFimAFim S [123] [" +
                escaped + "]\n");

  // Absent keys: LAYOUT 0.06, single blanks, UF 0; a long LAYOUT is cut to 5.
  dir.write("config.ini", "[DEFAULT]\nLAYOUT=0.0700\n");
  dir.run({"AtivarSAT", "1"});
  dir.run({"TesteFimAFim", "1"});
  EXPECT_EQ(dir.calls(), "AtivarSAT S 1 [1] [ ] 0\nTesteFimAFim S [1] [" +
                             sale_document("0.070", " ", " ", " ", " ") + "]\n");
  // DEFAULT must be the first or second section, spelled in capitals.
  for (const char* config : {"[A]\n[B]\n[DEFAULT]\n", "[default]\nUF=1\n"}) {
    dir.write("config.ini", config);
    expect_run(dir.run({"TesteFimAFim", "123"}), "Erro no arquivo config.ini\n", 1);
  }
}

TEST(SatCli, NetworkDocumentFollowsTypeAddressesAndProxy) {
  const std::string rede =
      "[REDE]\ntipoInter=ETHERNET\ntipoLan=IPFIX\nlanIP=192.168.001.010\nlanMask=255.255.255.000\n"
      "lanGW=192.168.001.001\nlanDNS1=008.008.008.008\nlanDNS2=\n";
  const std::string start = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><config><tipoInter>ETHE</tipoInter>";
  const std::string head =
      banner("ConfigurarInterfaceDeRede", "     Cod. Ativacao: 9\n     tipoInter: ETHE\n");
  const std::string fixed_lines =
      "     tipoLan: IPFIX\n     lanIP: 192.168.001.010\n     lanMask: 255.255.255.000\n"
      "     lanGW: 192.168.001.001\n     lanDNS1: 008.008.008.008\n     lanDNS2: \n";
  WorkDir dir;
  // ETHERNET is cut to ETHE; proxy 12 is cut to 1 and brings its settings, escaped in the document.
  // DHCP tests and sends no address; an absent proxy is an empty one.
  const std::string accepted[][3] = {
      // config.ini, lines after the interface's, document after it
      {"[DEFAULT]\n" + rede +
           "proxy=12\nproxy_ip=010.000.000.001\nproxy_porta=3128\nproxy_user=u\nproxy_senha=a&b<\n",
       fixed_lines + "     proxy: 1 (PROXY COM CONFIGURACAO)\n     proxy_ip: 010.000.000.001\n"
                     "     proxy_porta: 3128\n     proxy_user: u\n     proxy_senha: a&b<\n",
       "<tipoLan>IPFIX</tipoLan><lanIP>192.168.001.010</lanIP><lanMask>255.255.255.000</lanMask>"
       "<lanGW>192.168.001.001</lanGW><lanDNS1>008.008.008.008</lanDNS1><lanDNS2></lanDNS2><proxy>1</proxy>"
       "<proxy_ip>010.000.000.001</proxy_ip><proxy_porta>3128</proxy_porta><proxy_user>u</proxy_user>"
       "<proxy_senha>a&amp;b&lt;</proxy_senha></config>"},
      {"[REDE]\ntipoInter=ETHE\ntipoLan=DHCP\nlanIP=bad\n", "     tipoLan: DHCP\n     proxy:  (SEM PROXY)\n",
       "<tipoLan>DHCP</tipoLan><proxy></proxy></config>"}};
  for (const auto& [config, lines, rest] : accepted) {
    dir.write("config.ini", config);
    const std::string document = start + rest;
    expect_run(dir.run({"ConfigurarInterfaceDeRede", "9"}),
               head + lines + "     XML de Configuracao: " + document + "\n\nRetorno: r\n\n");
    EXPECT_EQ(dir.calls(), "ConfigurarInterfaceDeRede S [9] [" + document + "]\n");
  }

  // Refused: the reader's line, or the address's line after the banner; the library is not called.
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"[REDE]\ntipoInter=ETHE\ntipoLan=dhcp\n", "erro: tipoLan\nErro no arquivo config.ini\n"},
      {rede + "proxy=3\n", "erro: proxy\nErro no arquivo config.ini\n"},
      {"[A]\n[B]\n[REDE]\n", "Erro no arquivo config.ini\n"},
      {"[REDE]\ntipoInter=ETHE\ntipoLan=IPFIX\nlanIP=192.168.1.10\n", head + "     tipoLan: IPFIX\nerro: lanIP\n"},
      {rede + "proxy=1\nproxy_ip=10.0.0.1\n", head + fixed_lines + "     proxy: 1 (PROXY COM CONFIGURACAO)\n"
                                                                   "erro: proxy_ip\n"}};
  // clang-format on
  for (const auto& [config, out] : refused) {
    dir.write("config.ini", config);
    expect_run(dir.run({"ConfigurarInterfaceDeRede", "9"}), out, 1);
  }
  EXPECT_EQ(dir.calls(), "");
}

TEST(SatCli, SaleCancellationAndTheirReceipts) {
  WorkDir dir;
  dir.write("venda.xml", "<CFe>venda</CFe>\n");
  // An error reply is decoded all the same: nothing, or what comes before a
  // bad byte; a key longer than its buffer is cut to 126 characters.
  expect_run(dir.run({"EnviarDadosVenda", "12345678", "venda.xml"}, "1|06001|1999|Erro||"),
             sale_banner("venda.xml") + returned("1|06001|1999|Erro||") + receipt("CFe", "", ""), 0);
  const std::string odd = "1|06000|||||PENG ZT54||" + std::string(200, 'k');
  expect_run(dir.run({"EnviarDadosVenda", "12345678", "venda.xml"}, odd),
             sale_banner("venda.xml") + returned(odd) + receipt("CFe", std::string(126, 'k'), "<CF"), 0);
  expect_run(dir.run({"EnviarDadosVenda", "12345678", "nada.xml"}),
             sale_banner("nada.xml") + "nao conseguiu ler o arquivo: nada.xml\n", 1);
  // A pipe nobody writes would hold the run and a device would never end: neither is read.
  ASSERT_EQ(mkfifo((dir.path + "/fila.xml").c_str(), 0666), 0);
  std::filesystem::create_symlink("/dev/zero", dir.path + "/zero.xml");
  for (const std::string name : {"fila.xml", "zero.xml"})
    expect_run(dir.run({"EnviarDadosVenda", "12345678", name}),
               sale_banner(name) + "nao conseguiu ler o arquivo: " + name + "\n", 1,
               "nao e um arquivo regular: " + name + "\n");

  // The key to cancel is the document's chCanc attribute; the document goes whole.
  const std::string key = "CFe" + std::string(44, '7');
  const std::string cancel = "<CFeCanc>\n<infCFe chCanc = '" + key + "' ><ide/></infCFe></CFeCanc>";
  dir.write("canc.xml", cancel);
  expect_run(dir.run({"CancelarUltimaVenda", "12345678", "canc.xml"}, "1|07001|0000|Erro||"),
             cancel_banner("canc.xml") + returned("1|07001|0000|Erro||") + receipt("CFeCanc", "", ""), 0);
  // A key must be "CFe" and 44 digits; anything else never reaches the library.
  for (const std::string& bad : {std::string("bogus"), std::string(), key.substr(0, 46), key + "7",
                                 "cfe" + key.substr(3), key.substr(0, 46) + "x"}) {
    dir.write("bad.xml", "<CFeCanc><infCFe chCanc=\"" + bad + "\"/></CFeCanc>");
    expect_run(dir.run({"CancelarUltimaVenda", "12345678", "bad.xml"}),
               cancel_banner("bad.xml") + "chave invalida em chCanc no arquivo: bad.xml\n", 1);
  }
  // An element or a longer name is no chCanc attribute.
  dir.write("sem.xml", "<CFeCanc><chCanc>CFe1</chCanc><infCFe xchCanc=\"CFe2\"/></CFeCanc>");
  expect_run(dir.run({"CancelarUltimaVenda", "12345678", "sem.xml"}),
             cancel_banner("sem.xml") + "nao encontrou chCanc no arquivo: sem.xml\n", 1);
  const std::string sent = "EnviarDadosVenda S [12345678] [<CFe>venda</CFe>\n]\n";
  EXPECT_EQ(dir.calls(), sent + sent + "CancelarUltimaVenda S [12345678] [" + key + "] [" + cancel + "]\n");

  // The last fiscal session is decoded when it holds a sale or a cancellation.
  const std::string head = banner("ConsultarUltimaSessaoFiscal", "     Cod. Ativacao: 1\n");
  for (const auto& [code, printed] :
       std::vector<std::pair<std::string, std::string>>{{"06000", receipt("CFe", "K", "<CFe>x</CFe>")},
                                                        {"07000", receipt("CFeCanc", "K", "<CFe>x</CFe>")},
                                                        {"06001", ""}}) {
    const std::string reply = "1|" + code + "|0000|ok|||PENGZT54PC9DRmU+||K";
    expect_run(dir.run({"ConsultarUltimaSessaoFiscal", "1"}, reply),
               head + "\nRetorno: " + reply + "\n\n" + printed + kSep, 0);
  }
}

TEST(SatCli, ExtractedLogFileBase64AndCutFields) {
  WorkDir dir;
  // The log as the Base64 decoder reads it: line feeds skipped, padding
  // optional, '=' ends the data; a blank or a carriage return stops it, keeping
  // what came before; a lone last symbol is dropped; an empty log is an empty file.
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> logs = {
      {"bGluaGEgMQpsa\nW5oYSAyCg==", "linha 1\nlinha 2\n"}, {"YWI", "ab"}, {"YWJj=YWJj", "abc"},
      {"YWJj ZGVm", "abc"}, {"YWJj\r\nZGVm", "abc"}, {"YWJjZ", "abc"}, {"+/+/", "\xfb\xff\xbf"}, {"", ""}};
  // clang-format on
  for (const auto& [log, text] : logs) {
    expect_run(dir.run({"ExtrairLogs", "12345678"}, "1|15000|0000|ok||" + log),
               kLogHead + "15000|0000\n" + kLogSaved, 0);
    EXPECT_EQ(dir.read("log_sat.txt"), text) << log;
  }
  // Other codes show field 3, busy shows field 2; both cut to 130, the code to 10; no file.
  WorkDir fresh;
  const std::string long_text(300, 'x');
  for (auto [fields, shown] : {std::pair{"15001LONGCODE|0|", "15001LONGC|"}, {"15098|", "15098|"}})
    expect_run(fresh.run({"ExtrairLogs", "12345678"}, "1|" + std::string(fields) + long_text),
               kLogHead + shown + long_text.substr(0, 130) + "\n" + kLogEnd);
  EXPECT_FALSE(std::filesystem::exists(fresh.path + "/log_sat.txt"));
  // No log_sat.txt is made where something else stands under that name: a
  // directory, a pipe nobody reads, or a link, whose target is neither
  // written nor created.
  WorkDir elsewhere("");
  elsewhere.write("alheio.txt", "de outro\n");
  const std::string log = fresh.path + "/log_sat.txt";
  const std::vector<std::function<void()>> planted = {
      [&] { std::filesystem::create_directory(log); }, [&] { ASSERT_EQ(mkfifo(log.c_str(), 0666), 0); },
      [&] { std::filesystem::create_symlink(elsewhere.path + "/alheio.txt", log); },
      [&] { std::filesystem::create_symlink(elsewhere.path + "/novo.txt", log); }};
  for (const auto& plant : planted) {
    std::filesystem::remove(log);
    plant();
    expect_run(fresh.run({"ExtrairLogs", "12345678"}, "1|15000|0000|ok||bGlu"),
               kLogHead + "15000|0000\n" + kLogEnd, 1, "Erro ao criar arquivo\n");
  }
  EXPECT_EQ(elsewhere.read("alheio.txt"), "de outro\n");
  EXPECT_FALSE(std::filesystem::exists(elsewhere.path + "/novo.txt"));
}

TEST(SatCliWithUnit, ActivatesSellsCancelsAndExtractsTheLog) {
  SimUnit unit(SimUnit::Options{false, "12345678", 3000, 0, false, ""});
  WorkDir bench(LIBRARY_PATH);
  bench.write("settings/sat.ini", "[DEFAULT]\nSERIAL=" + unit.path().substr(5) + "\n");
  const auto example = [](const std::string& name) { return read_file(EXAMPLES_DIR "/" + name); };
  bench.write("config.ini", example("config.ini"));
  bench.write("venda.xml", example("venda.xml"));
  // The unit's last reply, a field of it, and its last frame with the session blanked ("|01||...").
  const auto reply = [&] { return unit.replies().empty() ? "" : unit.replies().back(); };
  const auto field = [&](int n) { return std::string(reply_field(reply(), n)); };
  const auto frame = [&] { return unit.frames().empty() ? "" : unit.frames().back().erase(4, 6); };
  const auto decoded = [&](int n, std::string out = "") {
    return zunra::sim::base64_decode(field(n), out) ? out : "(not Base64: " + field(n) + ")";
  };

  CliRun r = bench.run({"AtivarSAT", "12345678"});
  EXPECT_EQ(frame(), "|01||1|12345678|11111111111111|35");
  EXPECT_EQ(field(1), "04000");
  expect_run(r, banner("AtivarSAT",
                       "     Cod. Ativacao: 12345678\n     Tipo de Certificado: AC_SAT/SEFAZ\n"
                       "     CNPJ Contribuinte: 11111111111111\n     UF: 35\n") +
                    returned(reply()));
  // The sale goes as the file holds it; its receipt comes back decoded.
  r = bench.run({"EnviarDadosVenda", "12345678", "venda.xml"});
  EXPECT_EQ(frame(), "|03||12345678|" + example("venda.xml"));
  const std::string key = unit.last_sale_key();
  expect_run(r, sale_banner("venda.xml") + returned(reply()) + receipt("CFe", key, decoded(6)), 0);
  // The cancellation names that receipt by its chCanc and carries the document.
  std::string cancel = example("cancelamento.xml");
  bench.write("canc.xml", cancel.replace(cancel.find("chCanc=\"") + 8, key.size(), key));
  r = bench.run({"CancelarUltimaVenda", "12345678", "canc.xml"});
  EXPECT_EQ(frame(), "|04||12345678|" + key + "|" + cancel);
  EXPECT_NE(decoded(6).find("chCanc=\"" + key + "\""), std::string::npos);
  expect_run(r, cancel_banner("canc.xml") + returned(reply()) + receipt("CFeCanc", field(8), decoded(6)), 0);

  r = bench.run({"ExtrairLogs", "12345678"});
  expect_run(r, kLogHead + "15000|" + field(2) + "\n" + kLogSaved, 0);
  EXPECT_EQ(bench.read("log_sat.txt"), decoded(5));
  EXPECT_EQ(bench.read("log_sat.txt").size(), 3000u);
}

TEST(SessionNumbers, DrawsRefusesRecentNumbersAndWraps) {
  // A scripted generator: one raw value per clock second.
  static std::vector<int> script;
  static std::size_t second, waits;
  set_session_random_source({[] { return script.at(second); }, [] { ++second, ++waits; }});
  clear_session_history();
  script = {1234567, 0, 0, 42, 43};
  EXPECT_EQ(_100sessao(), 234567);  // raw values keep their last six digits
  // Entry 0 holds the cleared 0, so 0 waits for the next second; the first
  // number goes to entry 1. A number still in the history waits too.
  second = 1;
  EXPECT_EQ(_sessao(), 42);
  EXPECT_EQ(_sessao(), 43);
  EXPECT_EQ(waits, 3u);
  EXPECT_EQ(idx_100sessoes, 2);
  // After a hundred numbers the index wraps to entry 0; only entries up to
  // the index are searched, so older numbers higher up are free again.
  clear_session_history();
  script.resize(100);
  std::iota(script.begin(), script.end(), 1);
  script.push_back(50);
  second = waits = 0;
  for (int i = 1; i <= 100; ++i, ++second) EXPECT_EQ(_sessao(), i);
  EXPECT_EQ(idx_100sessoes, 0);
  EXPECT_EQ(n100Sessoes[0], 100);
  EXPECT_EQ(_sessao(), 50);
  EXPECT_EQ(waits, 0u);
  use_real_session_random_source();
}

TEST(SessionNumbers, DifferPerRunAndARefusedDrawWaitsForTheNextSecondOnly) {
  // Runs started within one second, as a re-keyed sale is, draw their own numbers.
  WorkDir dir;
  for (int i = 0; i < 5; ++i) dir.run({"ConsultarSAT"});
  std::istringstream calls(dir.read("calls"));
  std::set<std::string> sessions;
  for (std::string line; std::getline(calls, line);) sessions.insert(line);
  EXPECT_EQ(sessions.size(), 5u) << dir.read("calls");

  // A draw refused in this second is drawn again once time() shows the
  // next one, even where time() trails the clock the pause was measured on.
  static int reads;
  reads = 0;
  wait_for_next_second(1000, [](time_t*) -> time_t { return ++reads < 3 ? 1000 : 1001; });
  EXPECT_EQ(reads, 3);
  use_real_session_random_source();
  clear_session_history();
  const int first = _sessao();
  const time_t drawn = time(nullptr);
  EXPECT_NE(_sessao(), first);
  EXPECT_LE(time(nullptr), drawn + 1);
}
