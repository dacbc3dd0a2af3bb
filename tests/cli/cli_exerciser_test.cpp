// sat_cli against stand-in libraries that record what they are passed: the
// texts the technician sees, the values the library gets, the exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "cli_runner.h"

using zunra::test::CliResult;
using zunra::test::CliWorkDir;

namespace {

const std::string kSep = std::string(72, '=') + "\n";
const std::string kDash = "\n" + std::string(70, '-') + "\n";
const std::string kReplyR = "\nRetorno: r\n\n" + kSep;  // the stand-in answered "r"

std::string usage(bool with_ultima_sessao) {
  return std::string("\n./sat_cli - Versao: 3.0.0.5 - Zunra Informatica\n") +
         "Sintaxe: ./sat_cli funcao [args] \n"
         "funcoes:\n"
         "   AssociarAssinatura codigoDeAtivacao (config.ini)\n"
         "   AtivarSAT codigoDeAtivacao (config.ini)\n"
         "   AtualizarSoftwareSAT codigoDeAtivacao\n"
         "   BloquearSAT codigoDeAtivacao\n"
         "   ConfigurarInterfaceDeRede codigoDeAtivacao (config.ini)\n"
         "   ConsultarSAT\n"
         "   ConsultarNumeroSessao codigoDeAtivacao cNumeroDeSessao\n" +
         (with_ultima_sessao ? "   ConsultarUltimaSessaoFiscal codigoDeAtivacao\n" : "") +
         "   ConsultarStatusOperacional codigoDeAtivacao\n"
         "   DesbloquearSAT codigoDeAtivacao\n"
         "   ExtrairLogs codigoDeAtivacao\n"
         "   TesteFimAFim codigoDeAtivacao (config.ini)\n"
         "   TrocarCodigoDeAtivacao codigoDeAtivacao opcao novoCodigo\n"
         "   EnviarDadosVenda codigoDeAtivacao arquivo_CFe\n"
         "   CancelarUltimaVenda codigoDeAtivacao arquivo_CFeCanc\n"
         "\n";
}

// The banner block every call starts with.
std::string banner(const std::string& name, const std::string& parameters) {
  return kSep + "\nExecutando funcao: " + name + "\nParametros: \n" + parameters;
}

// A work dir on the full stand-in whose calls are recorded, with the session
// number of each call replaced by S (it is random).
struct StubDir : CliWorkDir {
  explicit StubDir(const char* library = STUB_FULL) : CliWorkDir(library) {}
  CliResult call(const std::vector<std::string>& args, const std::string& reply = "stub reply") const {
    return run(args, {"STUB_CALLS=calls", "STUB_REPLY=" + reply});
  }
  std::string calls() const {
    return std::regex_replace(read("calls"), std::regex("^(\\w+) \\d+( |$)", std::regex::multiline),
                              "$1 S$2");
  }
};

void expect_run(const CliResult& r, const std::string& out, int status, const std::string& err = "") {
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, status);
}

}  // namespace

TEST(SatCli, UsageNeedsTheLibraryAndListsOnlyWhatItSupports) {
  StubDir full;
  expect_run(full.call({}), usage(true), 1);
  expect_run(full.call({"consultarsat"}), usage(true), 1);  // names match case included
  EXPECT_FALSE(full.exists("calls"));

  StubDir old(STUB_OLD);
  const std::string missing =
      "dlsym_ConsultarUltimaSessaoFiscal: ./libzunra_sat_rpi.so: undefined symbol: "
      "ConsultarUltimaSessaoFiscal\n"
      "dlsym_SetDriver: ./libzunra_sat_rpi.so: undefined symbol: SetDriver\n";
  expect_run(old.call({}), missing + usage(false), 1);
  // Unsupported is decided before the argument count.
  expect_run(old.call({"ConsultarUltimaSessaoFiscal"}), missing + "Funcao nao suportada pela biblioteca\n\n",
             1);
  expect_run(old.call({"SetDriver", "a", "b"}), missing + "Funcao nao suportada pela biblioteca\n\n", 1);
  EXPECT_FALSE(old.exists("calls"));

  StubDir broken(STUB_BROKEN);
  expect_run(broken.call({"ConsultarSAT"}),
             "dlsym_EnviarDadosVendas: ./libzunra_sat_rpi.so: undefined symbol: EnviarDadosVenda\n", 1);
  CliWorkDir none("");
  expect_run(none.run({"ConsultarSAT"}),
             "dl_handle: ./libzunra_sat_rpi.so: cannot open shared object file: No such file or directory\n",
             1);
}

TEST(SatCli, WrongArgumentCountsGiveTheirSyntaxLine) {
  StubDir dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"AtivarSAT"}, "Sintaxe: ./sat_cli AtivarSAT codigoDeAtivacao (+ config.ini)\n\n"},
      {{"TesteFimAFim", "1", "2"}, "Sintaxe: ./sat_cli TesteFimAFim codigoDeAtivacao (+ config.ini)\n\n"},
      {{"ConsultarStatusOperacional"}, "Sintaxe: ./sat_cli ConsultarStatusOperacional codigoDeAtivacao \n\n"},
      {{"ConsultarNumeroSessao", "1"},
       "Sintaxe: ./sat_cli ConsultarNumeroSessao codigoDeAtivacao  cNumeroDeSessao\n\n"},
      {{"ConsultarUltimaSessaoFiscal"},
       "Sintaxe: ./sat_cli ConsultarUltimaSessaoFiscal codigoDeAtivacao\n\n"},
      {{"ConfigurarInterfaceDeRede"},
       "Sintaxe: ./sat_cli ConfigurarInterfaceDeRede codigoDeAtivacao (+ config.ini)\n\n"},
      {{"AssociarAssinatura"}, "Sintaxe: ./sat_cli AssociarAssinatura codigoDeAtivacao (+ config.ini)\n\n"},
      {{"AtualizarSoftwareSAT"}, "Sintaxe: ./sat_cli AtualizarSoftwareSAT codigoDeAtivacao \n\n"},
      {{"ExtrairLogs"}, "Sintaxe: ./sat_cli ExtrairLogs codigoDeAtivacao \n\n"},
      {{"BloquearSAT"}, "Sintaxe: ./sat_cli BloquearSAT codigoDeAtivacao \n\n"},
      {{"DesbloquearSAT", "1", "2"}, "Sintaxe: ./sat_cli DesbloquearSAT codigoDeAtivacao \n\n"},
      {{"TrocarCodigoDeAtivacao", "1", "2"},
       "Sintaxe: ./sat_cli TrocarCodigoDeAtivacao codigoDeAtivacao opcao novoCodigo\n"
       "         opcao: 1 -> Codigo de Ativacao - 2 -> Codigo de Emergencia\n\n"},
      {{"EnviarDadosVenda", "1"}, "Sintaxe: ./sat_cli EnviarDadosVenda codigoDeAtivacao  arquivoCFe\n\n"},
      {{"CancelarUltimaVenda", "1", "2", "3"},
       "Sintaxe: ./sat_cli CancelarUltimaVenda codigoDeAtivacao  arquivoCFeCanc\n\n"},
      {{"SetDriver", "1"}, "Sintaxe: ./sat_cli SetDriver Parametro Valor \n\n"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args[0]);
    expect_run(dir.call(args), message, 1);
  }
  EXPECT_FALSE(dir.exists("calls"));
}

TEST(SatCli, PrintsParametersAndPassesThemOn) {
  StubDir dir;
  // Extra words after ConsultarSAT are ignored.
  expect_run(dir.call({"ConsultarSAT", "extra"}, "1|08000|ok"),
             kSep + "\nExecutando funcao: ConsultarSAT\n\nRetorno: 1|08000|ok\n\n" + kSep, 0);
  for (const char* name :
       {"ConsultarStatusOperacional", "AtualizarSoftwareSAT", "BloquearSAT", "DesbloquearSAT"}) {
    expect_run(dir.call({name, "cod 1"}, "r"), banner(name, "     Cod. Ativacao: cod 1\n") + kReplyR, 0);
  }
  expect_run(
      dir.call({"ConsultarNumeroSessao", "123", "x9"}, "r"),
      banner("ConsultarNumeroSessao", "     Cod. Ativacao: 123\n     Sessao a consultar: x9\n") + kReplyR, 0);
  expect_run(
      dir.call({"SetDriver", "SERIAL", "pts/3"}, "OK"),
      banner("SetDriver", "     Parametro: SERIAL\n         Valor: pts/3\n") + "\nRetorno: OK\n\n" + kSep, 0);

  // The option's line follows its value; any value goes to the library.
  const std::vector<std::pair<std::string, std::string>> options = {
      {"1", "     Opcao: 1 - Codigo de Ativacao\n     Cod. Ativacao: old\n"},
      {"2", "     Opcao: 2 - Codigo de Emergencia\n     Cod. Emeergencia: old\n"},
      {"7", "     Opcao: 7 - Desconhecido\n     Cod. Ativacao: old\n"},
  };
  for (const auto& [option, lines] : options) {
    expect_run(dir.call({"TrocarCodigoDeAtivacao", "old", option, "new"}, "r"),
               banner("TrocarCodigoDeAtivacao", lines + "     Novo Codigo: new\n") + kReplyR, 0);
  }
  EXPECT_EQ(dir.calls(),
            "ConsultarSAT S\n"
            "ConsultarStatusOperacional S [cod 1]\nAtualizarSoftwareSAT S [cod 1]\n"
            "BloquearSAT S [cod 1]\nDesbloquearSAT S [cod 1]\n"
            "ConsultarNumeroSessao S [123] 0\n"
            "SetDriver [SERIAL] [pts/3]\n"
            "TrocarCodigoDeAtivacao S [old] 1 [new] [new]\n"
            "TrocarCodigoDeAtivacao S [old] 2 [new] [new]\n"
            "TrocarCodigoDeAtivacao S [old] 7 [new] [new]\n");
}

namespace {

std::string sale_document(const std::string& layout, const std::string& sh, const std::string& sign,
                          const std::string& contrib, const std::string& ie) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFe><infCFe versaoDadosEnt=\"" + layout +
         "\"><ide><CNPJ>" + sh + "</CNPJ><signAC>" + sign +
         "</signAC><numeroCaixa>099</numeroCaixa></ide><emit><CNPJ>" + contrib + "</CNPJ><IE>" + ie +
         "</IE><cRegTribISSQN>1</cRegTribISSQN><indRatISSQN>N</indRatISSQN></emit><dest><CNPJ>48291735000148"
         "</CNPJ></dest><det "
         "nItem=\"1\"><prod><cProd>001</cProd><xProd>MiniPc</xProd><CFOP>5001</CFOP><uCom>UN"
         "</uCom><qCom>1.0000</qCom><vUnCom>654.320</vUnCom><indRegra>A</indRegra></"
         "prod><imposto><vItem12741>"
         "1.00</vItem12741><ICMS><ICMS00><Orig>0</Orig><CST>00</CST><pICMS>12.00</pICMS></ICMS00></ICMS><PIS>"
         "<PISAliq><CST>01</CST><vBC>654.32</vBC><pPIS>0.0600</pPIS></PISAliq></"
         "PIS><COFINS><COFINSAliq><CST>01"
         "</CST><vBC>654.32</vBC><pCOFINS>0.0400</pCOFINS></COFINSAliq></COFINS></imposto></det><total>"
         "<vCFeLei12741>1.00</vCFeLei12741></total><pgto><MP><cMP>01</cMP><vMP>2000.00</vMP></MP></pgto></"
         "infCFe>"
         "</CFe>";
}

const char kRede[] =
    "[REDE]\ntipoInter=ETHERNET\ntipoLan=IPFIX\nlanIP=192.168.001.010\nlanMask=255.255.255.000\n"
    "lanGW=192.168.001.001\nlanDNS1=008.008.008.008\nlanDNS2=\n";

}  // namespace

TEST(SatCli, DefaultSectionFeedsActivationSignatureAndTestSale) {
  StubDir dir;
  expect_run(dir.call({"AtivarSAT", "123"}), "Erro no arquivo config.ini\n", 1);  // no config.ini

  dir.write("config.ini", std::string(kRede) +
                              "[DEFAULT]\nCNPJ_CONTRIB=111\nIE_CONTRIB=222\nCNPJ_SH=333\n"
                              "ASSINATURA_SH=sig&<\"'>\nUF=35\n");
  expect_run(dir.call({"AtivarSAT", "123"}, "r"),
             banner("AtivarSAT",
                    "     Cod. Ativacao: 123\n     Tipo de Certificado: AC_SAT/SEFAZ\n"
                    "     CNPJ Contribuinte: 111\n     UF: 35\n") +
                 kReplyR,
             0);
  expect_run(dir.call({"AssociarAssinatura", "123"}, "r"),
             banner("AssociarAssinatura",
                    "     Cod. Ativacao: 123\n     CNPJValue: 333111\n     AssinaturaSH: sig&<\"'>\n") +
                 kReplyR,
             0);
  // Values are escaped inside the document, shown as read everywhere else.
  const std::string escaped = sale_document("0.06", "333", "sig&amp;&lt;&quot;&apos;&gt;", "111", "222");
  expect_run(
      dir.call({"TesteFimAFim", "123"}, "r"),
      banner("TesteFimAFim",
             "     Cod. Ativacao: 123\n     Layout: 0.06\n     CNPJ SH: 333\n     AssinaturaSH: sig&<\"'>\n"
             "     CNPJ Contribuinte: 111\n     IE Contribuinte: 222\n     XML: " +
                 escaped + "\n") +
          kReplyR,
      0);
  EXPECT_EQ(dir.calls(),
            "AtivarSAT S 1 [123] [111] 35\nAssociarAssinatura S [123] [333111] [sig&<\"'>]\n"
            "TesteFimAFim S [123] [" +
                escaped + "]\n");

  // Absent keys: LAYOUT 0.06, single blanks, UF 0; a long LAYOUT is cut to 5.
  dir.write("config.ini", "[DEFAULT]\nLAYOUT=0.0700\n[REDE]\n");
  std::remove((dir.path() / "calls").c_str());
  EXPECT_EQ(dir.call({"AtivarSAT", "1"}).status, 0);
  EXPECT_EQ(dir.call({"TesteFimAFim", "1"}).status, 0);
  EXPECT_EQ(dir.calls(), "AtivarSAT S 1 [1] [ ] 0\nTesteFimAFim S [1] [" +
                             sale_document("0.070", " ", " ", " ", " ") + "]\n");

  // DEFAULT must be the first or second section, spelled in capitals.
  for (const char* config : {"[A]\n[B]\n[DEFAULT]\n", "[default]\nUF=1\n"}) {
    dir.write("config.ini", config);
    expect_run(dir.call({"TesteFimAFim", "123"}), "Erro no arquivo config.ini\n", 1);
  }
}

TEST(SatCli, NetworkDocumentFollowsTypeAddressesAndProxy) {
  StubDir dir;
  const std::string start = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><config><tipoInter>ETHE</tipoInter>";
  const std::string fixed =
      "<lanIP>192.168.001.010</lanIP><lanMask>255.255.255.000</lanMask><lanGW>192.168.001.001</lanGW>"
      "<lanDNS1>008.008.008.008</lanDNS1><lanDNS2></lanDNS2>";
  const std::string head = "     Cod. Ativacao: 9\n     tipoInter: ETHE\n";
  const std::string fixed_lines =
      "     lanIP: 192.168.001.010\n     lanMask: 255.255.255.000\n     lanGW: 192.168.001.001\n"
      "     lanDNS1: 008.008.008.008\n     lanDNS2: \n";

  // ETHERNET is cut to ETHE; proxy 12 is cut to 1 and brings its settings.
  dir.write("config.ini", std::string("[DEFAULT]\n") + kRede +
                              "proxy=12\nproxy_ip=010.000.000.001\nproxy_porta=3128\nproxy_user=u\n"
                              "proxy_senha=a&b<\n");
  std::string document = start + "<tipoLan>IPFIX</tipoLan>" + fixed +
                         "<proxy>1</proxy><proxy_ip>010.000.000.001</proxy_ip><proxy_porta>3128</proxy_porta>"
                         "<proxy_user>u</proxy_user><proxy_senha>a&amp;b&lt;</proxy_senha></config>";
  expect_run(dir.call({"ConfigurarInterfaceDeRede", "9"}, "r"),
             banner("ConfigurarInterfaceDeRede",
                    head + "     tipoLan: IPFIX\n" + fixed_lines +
                        "     proxy: 1 (PROXY COM CONFIGURACAO)\n     proxy_ip: 010.000.000.001\n"
                        "     proxy_porta: 3128\n     proxy_user: u\n     proxy_senha: a&b<\n"
                        "     XML de Configuracao: " +
                        document + "\n") +
                 "\nRetorno: r\n\n",
             0);
  EXPECT_EQ(dir.calls(), "ConfigurarInterfaceDeRede S [9] [" + document + "]\n");
  std::remove((dir.path() / "calls").c_str());

  // DHCP tests and sends no address; an absent proxy is an empty one.
  dir.write("config.ini", "[REDE]\ntipoInter=ETHE\ntipoLan=DHCP\nlanIP=bad\n");
  document = start + "<tipoLan>DHCP</tipoLan><proxy></proxy></config>";
  expect_run(dir.call({"ConfigurarInterfaceDeRede", "9"}, "r"),
             banner("ConfigurarInterfaceDeRede", head +
                                                     "     tipoLan: DHCP\n     proxy:  (SEM PROXY)\n"
                                                     "     XML de Configuracao: " +
                                                     document + "\n") +
                 "\nRetorno: r\n\n",
             0);
  dir.write("config.ini", std::string(kRede) + "proxy=2\nproxy_ip=bad\n");
  EXPECT_NE(dir.call({"ConfigurarInterfaceDeRede", "9"})
                .out.find("     proxy: 2 (PROXY TRANSPARENTE)\n     XML de Configuracao: " + start +
                          "<tipoLan>IPFIX</tipoLan>" + fixed + "<proxy>2</proxy></config>\n"),
            std::string::npos);

  // Refused settings: the reader's line, or the address line after the banner.
  const std::string bad_address = banner("ConfigurarInterfaceDeRede", head + "     tipoLan: IPFIX\n");
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"[REDE]\ntipoInter=ethe\n", "erro: tipoInter\nErro no arquivo config.ini\n"},
      {"[REDE]\ntipoInter=ETHE\ntipoLan=dhcp\n", "erro: tipoLan\nErro no arquivo config.ini\n"},
      {std::string(kRede) + "proxy=3\n", "erro: proxy\nErro no arquivo config.ini\n"},
      {"[A]\n[B]\n[REDE]\n", "Erro no arquivo config.ini\n"},
      {"[REDE]\ntipoInter=ETHE\ntipoLan=IPFIX\nlanIP=192.168.001.010\nlanGW=192.168.1.1\n",
       bad_address + "erro: lanGW\n"},
      {"[REDE]\ntipoInter=ETHE\ntipoLan=IPFIX\nlanMask=255.255.0.0\n", bad_address + "erro: lanMask\n"},
      {std::string(kRede) + "proxy=1\nproxy_ip=10.0.0.1\n",
       bad_address + fixed_lines + "     proxy: 1 (PROXY COM CONFIGURACAO)\nerro: proxy_ip\n"},
  };
  for (const auto& [config, out] : refused) {
    SCOPED_TRACE(config);
    dir.write("config.ini", config);
    expect_run(dir.call({"ConfigurarInterfaceDeRede", "9"}), out, 1);
  }
  dir.write("config.ini", "[REDE]\ntipoInter=ETHE\ntipoLan=IPFIX\nlanIP=192.168.1.10\n");
  expect_run(dir.call({"ConfigurarInterfaceDeRede", "9"}), bad_address + "erro: lanIP\n", 1);
  EXPECT_EQ(dir.calls(), "ConfigurarInterfaceDeRede S [9] [" + document +
                             "]\n"
                             "ConfigurarInterfaceDeRede S [9] [" +
                             start + "<tipoLan>IPFIX</tipoLan>" + fixed + "<proxy>2</proxy></config>]\n");
}

namespace {

std::string receipt(const std::string& kind, const std::string& key, const std::string& text) {
  return "\nChave " + kind + ": " + key + "\n" + kDash + "\n" + kind + ": " + text + "\n\n" + kDash + "\n";
}

}  // namespace

TEST(SatCli, SaleAndCancellationFilesAndReceiptsOfErrorReplies) {
  StubDir dir;
  dir.write("venda.xml", "<CFe>venda</CFe>\n");
  const std::string sale =
      banner("EnviarDadosVendas", "     Cod. Ativacao: 1\n       Arquivo CFe: venda.xml\n");
  // An error reply is decoded all the same: nothing, or what comes before a
  // bad byte; a key longer than its buffer is cut to 126 characters.
  expect_run(dir.call({"EnviarDadosVenda", "1", "venda.xml"}, "1|06001|1999|Erro||"),
             sale + "\nRetorno: 1|06001|1999|Erro||\n\n" + kSep + receipt("CFe", "", ""), 0);
  const std::string odd = "1|06000|||||PENG ZT54||" + std::string(200, 'k');
  expect_run(dir.call({"EnviarDadosVenda", "1", "venda.xml"}, odd),
             sale + "\nRetorno: " + odd + "\n\n" + kSep + receipt("CFe", std::string(126, 'k'), "<CF"), 0);
  expect_run(dir.call({"EnviarDadosVenda", "1", "nada.xml"}),
             banner("EnviarDadosVendas", "     Cod. Ativacao: 1\n       Arquivo CFe: nada.xml\n") +
                 "nao conseguiu ler o arquivo: nada.xml\n",
             1);

  // The key to cancel is the document's chCanc attribute; the document goes whole.
  const std::string cancel = "<CFeCanc>\n<infCFe chCanc = 'CFe35' ><ide/></infCFe></CFeCanc>";
  dir.write("canc.xml", cancel);
  expect_run(dir.call({"CancelarUltimaVenda", "1", "canc.xml"}, "1|07001|0000|Erro||"),
             banner("CancelarUltimaVenda", "       Cod. Ativacao: 1\n     Arquivo CFeCanc: canc.xml\n") +
                 "\nRetorno: 1|07001|0000|Erro||\n\n" + kSep + receipt("CFeCanc", "", ""),
             0);
  // An element or a longer name is no chCanc attribute.
  dir.write("sem.xml", "<CFeCanc><chCanc>CFe1</chCanc><infCFe xchCanc=\"CFe2\"/></CFeCanc>");
  expect_run(dir.call({"CancelarUltimaVenda", "1", "sem.xml"}),
             banner("CancelarUltimaVenda", "       Cod. Ativacao: 1\n     Arquivo CFeCanc: sem.xml\n") +
                 "nao encontrou chCanc no arquivo: sem.xml\n",
             1);
  EXPECT_EQ(dir.calls(),
            "EnviarDadosVenda S [1] [<CFe>venda</CFe>\n]\nEnviarDadosVenda S [1] [<CFe>venda</CFe>\n]\n"
            "CancelarUltimaVenda S [1] [CFe35] [" +
                cancel + "]\n");
}

TEST(SatCli, LastFiscalSessionDecodesSalesAndCancellationsOnly) {
  StubDir dir;
  const std::string head = banner("ConsultarUltimaSessaoFiscal", "     Cod. Ativacao: 1\n");
  for (const auto& [code, printed] :
       std::vector<std::pair<std::string, std::string>>{{"06000", receipt("CFe", "K", "<CFe>x</CFe>")},
                                                        {"07000", receipt("CFeCanc", "K", "<CFe>x</CFe>")},
                                                        {"06001", ""}}) {
    const std::string reply = "1|" + code + "|0000|ok|||PENGZT54PC9DRmU+||K";
    expect_run(dir.call({"ConsultarUltimaSessaoFiscal", "1"}, reply),
               head + "\nRetorno: " + reply + "\n\n" + printed + kSep, 0);
  }
}

TEST(SatCli, ExtractedLogFileAndCutFields) {
  StubDir dir;
  const std::string head = banner("ExtrairLogs", "     Cod. Ativacao: 1\n");
  const std::string saved = kDash + "Log salvo em: log_sat.txt\n" + kDash + "\n";
  const std::string end = std::string(49, '=') + "\n";
  // Line feeds inside the Base64 log are skipped; an empty log makes an empty file.
  expect_run(dir.call({"ExtrairLogs", "1"}, "1|15000|0000|ok||bGluaGEgMQpsa\nW5oYSAyCg=="),
             head + "Cod Retorno: 15000|0000\n" + saved + end, 0);
  EXPECT_EQ(dir.read("log_sat.txt"), "linha 1\nlinha 2\n");
  expect_run(dir.call({"ExtrairLogs", "1"}, "1|15000|0000|vazio||"),
             head + "Cod Retorno: 15000|0000\n" + saved + end, 0);
  EXPECT_EQ(dir.read("log_sat.txt"), "");

  // Fields longer than their buffers are cut: the code to 10, fields 2 and 3 to 130.
  std::filesystem::remove(dir.path() / "log_sat.txt");
  const std::string long_text(300, 'x');
  expect_run(dir.call({"ExtrairLogs", "1"}, "1|15001LONGCODE|0|" + long_text),
             head + "Cod Retorno: 15001LONGC|" + long_text.substr(0, 130) + "\n" + end, 0);
  expect_run(dir.call({"ExtrairLogs", "1"}, "1|15098|" + long_text),
             head + "Cod Retorno: 15098|" + long_text.substr(0, 130) + "\n" + end, 0);
  EXPECT_FALSE(dir.exists("log_sat.txt"));

  // No log_sat.txt can be made where a directory of that name stands.
  std::filesystem::create_directory(dir.path() / "log_sat.txt");
  expect_run(dir.call({"ExtrairLogs", "1"}, "1|15000|0000|ok||bGlu"),
             head + "Cod Retorno: 15000|0000\n" + end, 1, "Erro ao criar arquivo\n");
}
