// ./sat_cli run beside a stand-in library that records its calls, or the real
// one on a simulated unit; stdout, stderr and exit status compared exactly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

const std::string kSep = std::string(72, '=') + "\n", kDash = "\n" + std::string(70, '-') + "\n";
const std::string kLogEnd = std::string(49, '=') + "\n";

std::string banner(const std::string& name, const std::string& parameters) {
  return kSep + "\nExecutando funcao: " + name + "\nParametros: \n" + parameters;
}
std::string returned(const std::string& reply) {
  return "\nRetorno: " + reply + "\n\n" + kSep;
}
std::string receipt(const std::string& kind, const std::string& key, const std::string& text) {
  return "\nChave " + kind + ": " + key + "\n" + kDash + "\n" + kind + ": " + text + "\n\n" + kDash + "\n";
}
std::string sale_banner(const std::string& f) {
  return banner("EnviarDadosVendas", "     Cod. Ativacao: 12345678\n       Arquivo CFe: " + f + "\n");
}
std::string cancel_banner(const std::string& f) {
  return banner("CancelarUltimaVenda", "       Cod. Ativacao: 12345678\n     Arquivo CFeCanc: " + f + "\n");
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

struct WorkDir {
  explicit WorkDir(const std::string& library = STUB_FULL) {
    path = mkdtemp(std::string("/tmp/sat_cli_test.XXXXXX").data());
    std::filesystem::create_directory(path + "/settings");
    std::filesystem::create_symlink(SAT_CLI_PATH, path + "/sat_cli");
    if (!library.empty()) std::filesystem::create_symlink(library, path + "/libzunra_sat_rpi.so");
  }
  ~WorkDir() { std::filesystem::remove_all(path); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path + "/" + name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) const { return read_file(path + "/" + name); }
  CliRun run(const std::vector<std::string>& args, const std::string& reply = "r",
             const std::string& as = "") const {
    const auto quoted = [](const std::string& s) {
      return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'";
    };
    std::string command = "cd " + path + " && ZUNRA_SAT_DIR=" + path +
                          "/settings STUB_CALLS=calls STUB_REPLY=" + quoted(reply) + " " + as +
                          " timeout -s KILL 60 " ZUNRA_TEST_EMULATOR " ./sat_cli";
    for (const auto& a : args) command += " " + quoted(a);
    const int status = std::system((command + " >settings/out 2>settings/err").c_str());
    return {read("settings/out"), read("settings/err"), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  }
  std::string calls() const {  // since the last look, the session as S
    const std::string text = read("calls");
    std::filesystem::remove(path + "/calls");
    return std::regex_replace(text, std::regex("^(\\w+) \\d+( |$)", std::regex::multiline), "$1 S$2");
  }
  std::string path;
};

}  // namespace

TEST(SatCli, UsageHintsAndParametersPassedOn) {
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
  WorkDir full, old(STUB_OLD), none("");
  expect_run(full.run({}), usage(true), 1);
  expect_run(full.run({"consultarsat"}), usage(true), 1, "funcao desconhecida: consultarsat\n");
  const std::string missing =
      "dlsym_ConsultarUltimaSessaoFiscal: ./libzunra_sat_rpi.so: undefined symbol: "
      "ConsultarUltimaSessaoFiscal\ndlsym_SetDriver: ./libzunra_sat_rpi.so: undefined symbol: SetDriver\n";
  expect_run(old.run({}), missing + usage(false), 1);
  expect_run(old.run({"SetDriver"}), missing + "Funcao nao suportada pela biblioteca\n\n", 1);
  expect_run(WorkDir(STUB_BROKEN).run({"ConsultarSAT"}),
             "dlsym_EnviarDadosVendas: ./libzunra_sat_rpi.so: undefined symbol: EnviarDadosVenda\n", 1);
  // No library: where it was looked for, and a link to the installed one unless a file stands there.
  const std::string looked = "biblioteca procurada em: " + none.path + "/libzunra_sat_rpi.so\n";
  expect_run(
      none.run({"ConsultarSAT"}),
      "dl_handle: ./libzunra_sat_rpi.so: cannot open shared object file: No such file or directory\n", 1,
      looked + "para usar a biblioteca instalada: ln -sf " ZUNRA_INSTALL_LIBDIR "/libzunra_sat_rpi.so .\n");
  none.write("libzunra_sat_rpi.so", std::string(4096, 'x'));
  const CliRun broken = none.run({"ConsultarSAT"});
  EXPECT_EQ(broken.out.rfind("dl_handle: ./libzunra_sat_rpi.so: ", 0), 0u) << broken.out;
  EXPECT_EQ(broken.err, looked);
  expect_run(full.run({"ExtrairLogs", "1", "2"}), "Sintaxe: ./sat_cli ExtrairLogs codigoDeAtivacao \n\n", 1);
  EXPECT_EQ(full.calls() + old.calls(), "");
  expect_run(
      full.run({"TrocarCodigoDeAtivacao", "old", "2", "new"}),
      banner("TrocarCodigoDeAtivacao",
             "     Opcao: 2 - Codigo de Emergencia\n     Cod. Emeergencia: old\n     Novo Codigo: new\n") +
          returned("r"));
  EXPECT_EQ(full.calls(), "TrocarCodigoDeAtivacao S [old] 2 [new] [new]\n");
  // A unit not reached: how to tie the udev rules to it, in case another ACM device took its name.
  const std::string unreached = "000001|08098|SAT em processamento. Tente novamente.||";
  const std::string pin_hint =
      "unidade sem resposta: confira SERIAL em sat.ini; com outros dispositivos ttyACM no terminal, fixe as "
      "regras udev na unidade: sudo zunra-sat-setup pin /dev/ttyACM0\n";
  for (const auto& [args, reply] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"ConsultarSAT"}, unreached}, {{"ExtrairLogs", "1"}, "1|15098|SAT em processamento||"}})
    EXPECT_EQ(full.run(args, reply).err, pin_hint) << args[0];
  EXPECT_EQ(full.run({"ConsultarSAT"}, "000001|08000|SAT em operacao||").err, "");
}

TEST(SatCli, ConfigIniMissingFifoAndEscaped) {
  WorkDir dir;
  expect_run(dir.run({"AtivarSAT", "123"}), "Erro no arquivo config.ini\n", 1,
             "config.ini nao encontrado: " + dir.path + "/config.ini\n");
  ASSERT_EQ(mkfifo((dir.path + "/config.ini").c_str(), 0666), 0);  // nobody writes it: reading would wait
  expect_run(dir.run({"AtivarSAT", "123"}), "Erro no arquivo config.ini\n", 1,
             "config.ini nao pode ser lido: nao e um arquivo regular\n");
  std::filesystem::remove(dir.path + "/config.ini");
  dir.write("config.ini", "[REDE]\n[DEFAULT]\nCNPJ_CONTRIB=111\nCNPJ_SH=333\nASSINATURA_SH=sig&<\"'>\n");
  expect_run(dir.run({"AssociarAssinatura", "123"}),
             banner("AssociarAssinatura",
                    "     Cod. Ativacao: 123\n     CNPJValue: 333111\n     AssinaturaSH: sig&<\"'>\n") +
                 returned("r"));
  EXPECT_EQ(dir.calls(), "AssociarAssinatura S [123] [333111] [sig&<\"'>]\n");
  const CliRun test_sale = dir.run({"TesteFimAFim", "123"});  // escaped in the document, shown as read
  EXPECT_NE(test_sale.out.find("     AssinaturaSH: sig&<\"'>\n"), std::string::npos) << test_sale.out;
  EXPECT_NE(test_sale.out.find("<signAC>sig&amp;&lt;&quot;&apos;&gt;</signAC>"), std::string::npos);
}

// Standard output stays as it was; what config.ini lacks is named on standard error, the call made all the
// same. A key written with an empty value is the technician's choice and passes without a word.
TEST(SatCli, ConfigIniGapsNamed) {
  WorkDir dir;
  const auto lacks = [](const std::string& key, const std::string& section) {
    return "config.ini sem a chave " + key + " na secao [" + section + "]\n";
  };
  dir.write("config.ini",
            "[REDE]\ntipoInter=ETHE\ntipoLan=IPFIX\nlanIP=192.168.001.010\nlanMask=\nproxy=1\n"
            "proxy_ip=010.000.000.001\n[DEFAULT]\nCNPJ_CONTRIB=111\n");
  expect_run(dir.run({"AtivarSAT", "123"}),
             banner("AtivarSAT",
                    "     Cod. Ativacao: 123\n     Tipo de Certificado: AC_SAT/SEFAZ\n"
                    "     CNPJ Contribuinte: 111\n     UF:  \n") +
                 returned("r"),
             0, lacks("UF", "DEFAULT"));
  expect_run(
      dir.run({"AssociarAssinatura", "123"}),
      banner("AssociarAssinatura", "     Cod. Ativacao: 123\n     CNPJValue:  111\n     AssinaturaSH:  \n") +
          returned("r"),
      0, lacks("CNPJ_SH", "DEFAULT") + lacks("ASSINATURA_SH", "DEFAULT"));
  const std::string lan =
      "<lanIP>192.168.001.010</lanIP><lanMask></lanMask><lanGW></lanGW><lanDNS1></lanDNS1>"
      "<lanDNS2></lanDNS2>";
  const std::string proxy =
      "<proxy>1</proxy><proxy_ip>010.000.000.001</proxy_ip><proxy_porta></proxy_porta>"
      "<proxy_user></proxy_user><proxy_senha></proxy_senha>";
  const std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><config><tipoInter>ETHE</tipoInter>"
      "<tipoLan>IPFIX</tipoLan>" +
      lan + proxy + "</config>";
  expect_run(
      dir.run({"ConfigurarInterfaceDeRede", "123"}),
      banner("ConfigurarInterfaceDeRede",
             "     Cod. Ativacao: 123\n     tipoInter: ETHE\n     tipoLan: IPFIX\n"
             "     lanIP: 192.168.001.010\n     lanMask: \n     lanGW: \n     lanDNS1: \n     lanDNS2: \n"
             "     proxy: 1 (PROXY COM CONFIGURACAO)\n     proxy_ip: 010.000.000.001\n"
             "     proxy_porta: \n     proxy_user: \n     proxy_senha: \n     XML de Configuracao: " +
                 document + "\n") +
          "\nRetorno: r\n\n",
      0,
      lacks("lanGW", "REDE") + lacks("lanDNS1", "REDE") + lacks("lanDNS2", "REDE") +
          lacks("proxy_porta", "REDE") + lacks("proxy_user", "REDE") + lacks("proxy_senha", "REDE"));
  EXPECT_EQ(dir.calls(),
            "AtivarSAT S 1 [123] [111] 0\nAssociarAssinatura S [123] [ 111] [ ]\n"
            "ConfigurarInterfaceDeRede S [123] [" +
                document + "]\n");
  // Without its section, or without the key that reading refuses, nothing is called.
  dir.write("config.ini", "[REDE]\ntipoLan=DHCP\n[x]\n[DEFAULT]\nUF=35\n");
  expect_run(dir.run({"TesteFimAFim", "123"}), "Erro no arquivo config.ini\n", 1,
             "config.ini sem a secao [DEFAULT] (a primeira ou a segunda do arquivo, em maiusculas)\n");
  expect_run(dir.run({"ConfigurarInterfaceDeRede", "123"}), "erro: tipoInter\nErro no arquivo config.ini\n",
             1, lacks("tipoInter", "REDE"));
  EXPECT_EQ(dir.calls(), "");
}

TEST(SatCli, SaleAndCancellationFiles) {
  WorkDir dir;
  dir.write("venda.xml", "<CFe>venda</CFe>\n");
  // An error reply is decoded all the same; a key longer than its buffer is cut to 126.
  const std::string odd = "1|06000|||||PENG ZT54||" + std::string(200, 'k');
  expect_run(dir.run({"EnviarDadosVenda", "12345678", "venda.xml"}, odd),
             sale_banner("venda.xml") + returned(odd) + receipt("CFe", std::string(126, 'k'), "<CF"));
  // A pipe nobody writes would hold the run and a device would never end: neither is read.
  ASSERT_EQ(mkfifo((dir.path + "/fila.xml").c_str(), 0666), 0);
  std::filesystem::create_symlink("/dev/zero", dir.path + "/zero.xml");
  for (const std::string name : {"fila.xml", "zero.xml"})
    expect_run(dir.run({"EnviarDadosVenda", "12345678", name}),
               sale_banner(name) + "nao conseguiu ler o arquivo: " + name + "\n", 1,
               "nao e um arquivo regular: " + name + "\n");
  // The key to cancel is the chCanc attribute: "CFe" and 44 digits, or the library is not called.
  const std::string key = "CFe" + std::string(44, '7');
  const std::string cancel = "<CFeCanc>\n<infCFe chCanc = '" + key + "' ><ide/></infCFe></CFeCanc>";
  dir.write("canc.xml", cancel);
  expect_run(dir.run({"CancelarUltimaVenda", "12345678", "canc.xml"}, "1|07001|0000|Erro||"),
             cancel_banner("canc.xml") + returned("1|07001|0000|Erro||") + receipt("CFeCanc", "", ""));
  for (const auto& [attribute, fault] : std::vector<std::pair<std::string, std::string>>{
           {"chCanc=\"" + key + "7\"", "chave invalida em"},
           {"chCanc=\"" + key.substr(0, 46) + "x\"", "chave invalida em"},
           {"chCanc=\"cfe" + key.substr(3) + "\"", "chave invalida em"},
           {"xchCanc=\"" + key + "\"", "nao encontrou"}}) {
    dir.write("bad.xml", "<CFeCanc><chCanc>CFe1</chCanc><infCFe " + attribute + "/></CFeCanc>");
    expect_run(dir.run({"CancelarUltimaVenda", "12345678", "bad.xml"}),
               cancel_banner("bad.xml") + fault + " chCanc no arquivo: bad.xml\n", 1);
  }
  EXPECT_EQ(dir.calls(),
            "EnviarDadosVenda S [12345678] [<CFe>venda</CFe>\n]\nCancelarUltimaVenda S [12345678] [" + key +
                "] [" + cancel + "]\n");
}

TEST(SatCli, ExtractedLogAndWhatStandsInItsPlace) {
  WorkDir dir, elsewhere("");
  // Line feeds skipped; a blank stops the data; a lone last symbol is dropped.
  for (const auto& [log, text] : std::vector<std::pair<std::string, std::string>>{
           {"bGluaGEgMQpsa\nW5oYSAyCg==", "linha 1\nlinha 2\n"}, {"YWJj ZGVm", "abc"}, {"YWJjZ", "abc"}}) {
    expect_run(dir.run({"ExtrairLogs", "12345678"}, "1|15000|0000|ok||" + log),
               kLogHead + "15000|0000\n" + kLogSaved);
    EXPECT_EQ(dir.read("log_sat.txt"), text) << log;
  }
  // No log_sat.txt where a directory, a pipe or a link stands; a link's target is neither written nor made.
  elsewhere.write("alheio.txt", "de outro\n");
  const std::string log = dir.path + "/log_sat.txt";
  for (int plant = 0; plant < 4; ++plant) {
    std::filesystem::remove_all(log);
    if (plant == 0) std::filesystem::create_directory(log);
    ASSERT_TRUE(plant != 1 || mkfifo(log.c_str(), 0666) == 0);
    if (plant >= 2)
      std::filesystem::create_symlink(elsewhere.path + (plant == 2 ? "/alheio.txt" : "/novo.txt"), log);
    expect_run(dir.run({"ExtrairLogs", "12345678"}, "1|15000|0000|ok||bGlu"),
               kLogHead + "15000|0000\n" + kLogEnd, 1, "Erro ao criar arquivo\n");
  }
  EXPECT_EQ(elsewhere.read("alheio.txt"), "de outro\n");
  EXPECT_FALSE(std::filesystem::exists(elsewhere.path + "/novo.txt"));
}

TEST(SatCliWithUnit, SellsAndCancels) {
  SimUnit unit(SimUnit::Options{true, "12345678", 3000, 0, false, ""});
  WorkDir bench(LIBRARY_PATH);
  bench.write("settings/sat.ini", "[DEFAULT]\nSERIAL=" + unit.path().substr(5) + "\n");
  const auto example = [](const std::string& name) { return read_file(EXAMPLES_DIR "/" + name); };
  bench.write("venda.xml", example("venda.xml"));
  const auto reply = [&] { return unit.replies().empty() ? "" : unit.replies().back(); };
  const auto field = [&](int n) { return std::string(reply_field(reply(), n)); };
  const auto frame = [&] { return unit.frames().empty() ? "" : unit.frames().back().erase(4, 6); };
  const auto decoded = [&](std::string s = "") { return zunra::sim::base64_decode(field(6), s) ? s : "?"; };
  CliRun r = bench.run({"EnviarDadosVenda", "12345678", "venda.xml"});
  EXPECT_EQ(frame(), "|03||12345678|" + example("venda.xml"));
  const std::string key = unit.last_sale_key();
  expect_run(r, sale_banner("venda.xml") + returned(reply()) + receipt("CFe", key, decoded()));
  std::string cancel = example("cancelamento.xml");
  bench.write("canc.xml", cancel.replace(cancel.find("chCanc=\"") + 8, key.size(), key));
  r = bench.run({"CancelarUltimaVenda", "12345678", "canc.xml"});
  EXPECT_EQ(frame(), "|04||12345678|" + key + "|" + cancel);
  expect_run(r, cancel_banner("canc.xml") + returned(reply()) + receipt("CFeCanc", field(8), decoded()));
}

// A reply the driver gave itself is followed on standard error by why, as
// the driver recorded it for this very run; standard output is unchanged.
TEST(SatCliWithUnit, AFallbackSaysWhyOnStandardError) {
  SimUnit unit;
  WorkDir bench(LIBRARY_PATH);
  const auto settings = [&](const std::string& serial) {
    bench.write("settings/sat.ini",
                "[DEFAULT]\nSERIAL=" + serial +
                    "\n[TIMEOUT]\nT_CONSULTAR_SAT=00:01\nT_CONSULTAR_STATUS_OPERACIONAL=00:06\n");
  };
  const auto expect_consultar = [&](const std::string& err, const std::string& as = "") {
    const CliRun r = bench.run({"ConsultarSAT"}, "r", as);
    const std::string session = r.out.substr(r.out.find("Retorno: ") + 9, 6);
    expect_run(r,
               kSep + "\nExecutando funcao: ConsultarSAT\n" +
                   returned(session + "|08098|SAT em processamento. Tente novamente.||"),
               0, err);
  };
  settings("zunra_nao_existe");
  expect_consultar(
      "SAT nao encontrado: o SAT esta conectado? confira SERIAL em sat.ini; com outros dispositivos ttyACM "
      "no "
      "terminal, fixe as regras udev na unidade: sudo zunra-sat-setup pin /dev/ttyACM0\n");
  settings(unit.path());
  // A user outside the device's group (tty here), but in the group of the
  // settings directory and of the counters file (root's, here).
  ::chmod(bench.path.c_str(), 0755);
  ::chmod((bench.path + "/settings").c_str(), 0770);
  expect_consultar("sem permissao para abrir o SAT: o usuario esta no grupo dialout?\n",
                   "setpriv --reuid=65534 --regid=65534 --groups=0");
  unit.on_command(5, zunra::sim::Act::Silent);
  expect_consultar("o SAT nao respondeu em 1 s: confira o cabo e se o SAT esta ligado\n");

  // Another sat_cli holds the unit while its status query waits for a silent unit.
  unit.on_command(7, zunra::sim::Act::Silent);
  const std::string pid_file = bench.path + "/settings/holder";
  ASSERT_EQ(std::system(("cd " + bench.path + " && (ZUNRA_SAT_DIR=" + bench.path +
                         "/settings " ZUNRA_TEST_EMULATOR
                         " ./sat_cli ConsultarStatusOperacional 12345678 >/dev/null 2>&1 & echo $! >" +
                         pid_file + ")")
                            .c_str()),
            0);
  ASSERT_TRUE(unit.wait_for_frames(2, std::chrono::seconds(20)));
  const int holder = std::atoi(read_file(pid_file).c_str());
  expect_consultar("Dispositivo em uso por outro processo: " + unit.path() + " (PID " +
                   std::to_string(holder) + ")\n");
  ::kill(holder, SIGKILL);
}

// Before a call that may wait more than 10 s, how long, as the settings say.
TEST(SatCliWithUnit, ALongWaitIsAnnouncedOnStandardError) {
  SimUnit unit;
  WorkDir bench(LIBRARY_PATH);
  for (const auto& [logs, said] :
       std::vector<std::pair<std::string, std::string>>{{"", "aguardando o SAT por ate 20 s\n"},
                                                        {"00:10", ""},
                                                        {"01:05", "aguardando o SAT por ate 65 s\n"}}) {
    bench.write("settings/sat.ini",
                "[DEFAULT]\nSERIAL=" + unit.path() + "\n[TIMEOUT]\nT_EXTRAIR_LOGS=" + logs + "\n");
    const CliRun r = bench.run({"ExtrairLogs", "12345678"});
    EXPECT_EQ(r.err, said) << logs;
    EXPECT_EQ(r.out.substr(0, kLogHead.size()), kLogHead);
  }
  EXPECT_EQ(bench.run({"ConsultarSAT"}).err, "");
}

TEST(SessionNumbers, WaitForTheNextSecondAndDifferPerRun) {
  // A refused draw waits until time() shows the next second, even where it trails the clock.
  static int reads;
  wait_for_next_second(1000, [](time_t*) -> time_t { return ++reads < 3 ? 1000 : 1001; });
  EXPECT_EQ(reads, 3);
  // Runs started within one second, as a re-keyed sale is, draw their own numbers.
  WorkDir dir;
  for (int i = 0; i < 5; ++i) dir.run({"ConsultarSAT"});
  std::istringstream calls(dir.read("calls"));
  std::set<std::string> sessions;
  for (std::string line; std::getline(calls, line);) sessions.insert(line);
  EXPECT_EQ(sessions.size(), 5u) << dir.read("calls");
}
