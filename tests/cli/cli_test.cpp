// sat_cli run as "./sat_cli ..." in a temporary directory beside
// ./libzunra_sat_rpi.so (a stand-in that records its calls, or the real one
// on a simulated unit); stdout, stderr and exit status compared exactly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
const std::string kLogEnd = std::string(49, '=') + "\n";

std::string banner(const std::string& name, const std::string& parameters) {
  return kSep + "\nExecutando funcao: " + name + "\nParametros: \n" + parameters;
}
std::string returned(const std::string& reply) {
  return "\nRetorno: " + reply + "\n\n" + kSep;
}
std::string called(const std::string& name, const std::string& parameters) {
  return banner(name, parameters) + returned("r");
}
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

// ./sat_cli, the library (none when empty) and a settings directory.
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
  // The stand-in answers `reply`; a hung run is killed.
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
  // The stand-in's calls since the last look, the (random) session written as S.
  std::string calls() const {
    const std::string text = read("calls");
    std::filesystem::remove(path + "/calls");
    return std::regex_replace(text, std::regex("^(\\w+) \\d+( |$)", std::regex::multiline), "$1 S$2");
  }
  std::string path;
};

}  // namespace

TEST(SatCli, UsageWrongCountsAndParametersPassedOn) {
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
  expect_run(full.run({"consultarsat"}), usage(true), 1, "funcao desconhecida: consultarsat\n");
  const std::string missing =
      "dlsym_ConsultarUltimaSessaoFiscal: ./libzunra_sat_rpi.so: undefined symbol: "
      "ConsultarUltimaSessaoFiscal\n"
      "dlsym_SetDriver: ./libzunra_sat_rpi.so: undefined symbol: SetDriver\n";
  expect_run(old.run({}), missing + usage(false), 1);
  // Unsupported is decided before the argument count.
  expect_run(old.run({"SetDriver"}), missing + "Funcao nao suportada pela biblioteca\n\n", 1);
  expect_run(WorkDir(STUB_BROKEN).run({"ConsultarSAT"}),
             "dlsym_EnviarDadosVendas: ./libzunra_sat_rpi.so: undefined symbol: EnviarDadosVenda\n", 1);
  // Without the library: where it was looked for, and the link to the installed one.
  WorkDir none("");
  const std::string looked = "biblioteca procurada em: " + none.path + "/libzunra_sat_rpi.so\n";
  expect_run(
      none.run({"ConsultarSAT"}),
      "dl_handle: ./libzunra_sat_rpi.so: cannot open shared object file: No such file or directory\n", 1,
      looked + "para usar a biblioteca instalada: ln -sf " ZUNRA_INSTALL_LIBDIR "/libzunra_sat_rpi.so .\n");
  none.write("libzunra_sat_rpi.so", std::string(4096, 'x'));  // there but no library: no link to suggest
  const CliRun broken = none.run({"ConsultarSAT"});
  EXPECT_EQ(broken.out.rfind("dl_handle: ./libzunra_sat_rpi.so: ", 0), 0u) << broken.out;
  EXPECT_EQ(broken.err, looked);
  expect_run(full.run({"CancelarUltimaVenda", "1", "2", "3"}),
             "Sintaxe: ./sat_cli CancelarUltimaVenda codigoDeAtivacao  arquivoCFeCanc\n\n", 1);
  expect_run(full.run({"ExtrairLogs", "1", "2"}), "Sintaxe: ./sat_cli ExtrairLogs codigoDeAtivacao \n\n", 1);
  EXPECT_EQ(full.calls() + old.calls(), "");
  // One run of each kind of function: its parameters shown and passed on.
  expect_run(full.run({"ConsultarSAT", "extra"}),
             kSep + "\nExecutando funcao: ConsultarSAT\n" + returned("r"));
  expect_run(full.run({"BloquearSAT", "cod 1"}), called("BloquearSAT", "     Cod. Ativacao: cod 1\n"));
  expect_run(full.run({"ConsultarNumeroSessao", "123", "x9"}),
             called("ConsultarNumeroSessao", "     Cod. Ativacao: 123\n     Sessao a consultar: x9\n"));
  expect_run(full.run({"SetDriver", "SERIAL", "pts/3"}),
             called("SetDriver", "     Parametro: SERIAL\n         Valor: pts/3\n"));
  expect_run(full.run({"TrocarCodigoDeAtivacao", "old", "2", "new"}),
             called("TrocarCodigoDeAtivacao",
                    "     Opcao: 2 - Codigo de Emergencia\n     Cod. Emeergencia: old\n"
                    "     Novo Codigo: new\n"));
  EXPECT_EQ(full.calls(),
            "ConsultarSAT S\nBloquearSAT S [cod 1]\nConsultarNumeroSessao S [123] 0\n"
            "SetDriver [SERIAL] [pts/3]\nTrocarCodigoDeAtivacao S [old] 2 [new] [new]\n");
}

TEST(SatCli, ConfigIniFeedsSignatureTestSaleAndNetwork) {
  WorkDir dir;
  expect_run(dir.run({"AtivarSAT", "123"}), "Erro no arquivo config.ini\n", 1,
             "config.ini nao encontrado: " + dir.path + "/config.ini\n");
  ASSERT_EQ(mkfifo((dir.path + "/config.ini").c_str(), 0666), 0);  // nobody writes it: reading would wait
  expect_run(dir.run({"AtivarSAT", "123"}), "Erro no arquivo config.ini\n", 1);
  std::filesystem::remove(dir.path + "/config.ini");
  dir.write("config.ini",
            "[REDE]\n[DEFAULT]\nCNPJ_CONTRIB=111\nIE_CONTRIB=222\nCNPJ_SH=333\nASSINATURA_SH=sig&<\"'>\n");
  expect_run(dir.run({"AssociarAssinatura", "123"}),
             called("AssociarAssinatura",
                    "     Cod. Ativacao: 123\n     CNPJValue: 333111\n     AssinaturaSH: sig&<\"'>\n"));
  // Escaped inside the document, shown as read.
  const CliRun test_sale = dir.run({"TesteFimAFim", "123"});
  EXPECT_NE(test_sale.out.find("     AssinaturaSH: sig&<\"'>\n"), std::string::npos) << test_sale.out;
  EXPECT_NE(test_sale.out.find("<signAC>sig&amp;&lt;&quot;&apos;&gt;</signAC>"), std::string::npos);
  // DHCP sends no address; an absent proxy is an empty one; a bad address is refused before the call.
  const std::string net_head =
      banner("ConfigurarInterfaceDeRede", "     Cod. Ativacao: 9\n     tipoInter: ETHE\n");
  const std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><config><tipoInter>ETHE</tipoInter>"
      "<tipoLan>DHCP</tipoLan><proxy></proxy></config>";
  dir.write("config.ini", "[REDE]\ntipoInter=ETHE\ntipoLan=DHCP\nlanIP=bad\n");
  expect_run(dir.run({"ConfigurarInterfaceDeRede", "9"}),
             net_head + "     tipoLan: DHCP\n     proxy:  (SEM PROXY)\n     XML de Configuracao: " +
                 document + "\n\nRetorno: r\n\n");
  dir.write("config.ini", "[REDE]\ntipoInter=ETHE\ntipoLan=IPFIX\nlanIP=192.168.1.10\n");
  expect_run(dir.run({"ConfigurarInterfaceDeRede", "9"}), net_head + "     tipoLan: IPFIX\nerro: lanIP\n", 1);
  dir.write("config.ini", "[default]\nUF=1\n");  // DEFAULT in capitals only
  expect_run(dir.run({"TesteFimAFim", "123"}), "Erro no arquivo config.ini\n", 1);
  const std::string calls = dir.calls();
  EXPECT_EQ(calls.substr(0, calls.find('\n')), "AssociarAssinatura S [123] [333111] [sig&<\"'>]");
  EXPECT_NE(calls.find("ConfigurarInterfaceDeRede S [9] [" + document + "]\n"), std::string::npos) << calls;
}

TEST(SatCli, SaleCancellationAndTheirReceipts) {
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
  // The key to cancel is the document's chCanc attribute: "CFe" and 44 digits, or the library is not called.
  const std::string key = "CFe" + std::string(44, '7');
  const std::string cancel = "<CFeCanc>\n<infCFe chCanc = '" + key + "' ><ide/></infCFe></CFeCanc>";
  dir.write("canc.xml", cancel);
  expect_run(dir.run({"CancelarUltimaVenda", "12345678", "canc.xml"}, "1|07001|0000|Erro||"),
             cancel_banner("canc.xml") + returned("1|07001|0000|Erro||") + receipt("CFeCanc", "", ""));
  for (const std::string& bad : {key + "7", "cfe" + key.substr(3), key.substr(0, 46) + "x"}) {
    dir.write("bad.xml", "<CFeCanc><infCFe chCanc=\"" + bad + "\"/></CFeCanc>");
    expect_run(dir.run({"CancelarUltimaVenda", "12345678", "bad.xml"}),
               cancel_banner("bad.xml") + "chave invalida em chCanc no arquivo: bad.xml\n", 1);
  }
  dir.write("sem.xml", "<CFeCanc><chCanc>CFe1</chCanc><infCFe xchCanc=\"CFe2\"/></CFeCanc>");
  expect_run(dir.run({"CancelarUltimaVenda", "12345678", "sem.xml"}),
             cancel_banner("sem.xml") + "nao encontrou chCanc no arquivo: sem.xml\n", 1);
  EXPECT_EQ(dir.calls(),
            "EnviarDadosVenda S [12345678] [<CFe>venda</CFe>\n]\nCancelarUltimaVenda S [12345678] [" + key +
                "] [" + cancel + "]\n");
  const std::string reply = "1|07000|0000|ok|||PENGZT54PC9DRmU+||K";
  expect_run(dir.run({"ConsultarUltimaSessaoFiscal", "1"}, reply),
             banner("ConsultarUltimaSessaoFiscal", "     Cod. Ativacao: 1\n") + "\nRetorno: " + reply +
                 "\n\n" + receipt("CFeCanc", "K", "<CFe>x</CFe>") + kSep);
}

TEST(SatCli, ExtractedLogFileAndWhatStandsInItsPlace) {
  WorkDir dir;
  // Line feeds skipped; a blank stops the data; a lone last symbol is dropped.
  for (const auto& [log, text] : std::vector<std::pair<std::string, std::string>>{
           {"bGluaGEgMQpsa\nW5oYSAyCg==", "linha 1\nlinha 2\n"}, {"YWJj ZGVm", "abc"}, {"YWJjZ", "abc"}}) {
    expect_run(dir.run({"ExtrairLogs", "12345678"}, "1|15000|0000|ok||" + log),
               kLogHead + "15000|0000\n" + kLogSaved);
    EXPECT_EQ(dir.read("log_sat.txt"), text) << log;
  }
  WorkDir fresh;
  const std::string long_text(300, 'x');  // busy shows field 2, cut to 130; no file
  expect_run(fresh.run({"ExtrairLogs", "12345678"}, "1|15098|" + long_text),
             kLogHead + "15098|" + long_text.substr(0, 130) + "\n" + kLogEnd);
  // No log_sat.txt where a directory, a pipe or a link stands; a link's target is neither written nor made.
  WorkDir elsewhere("");
  elsewhere.write("alheio.txt", "de outro\n");
  const std::string log = fresh.path + "/log_sat.txt";
  for (int plant = 0; plant < 4; ++plant) {
    std::filesystem::remove(log);
    if (plant == 0) std::filesystem::create_directory(log);
    if (plant == 1) {
      ASSERT_EQ(mkfifo(log.c_str(), 0666), 0);
    }
    if (plant >= 2)
      std::filesystem::create_symlink(elsewhere.path + (plant == 2 ? "/alheio.txt" : "/novo.txt"), log);
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
  // The unit's last reply, a field of it, and its last frame with the session blanked.
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
  r = bench.run({"EnviarDadosVenda", "12345678", "venda.xml"});
  EXPECT_EQ(frame(), "|03||12345678|" + example("venda.xml"));
  const std::string key = unit.last_sale_key();
  expect_run(r, sale_banner("venda.xml") + returned(reply()) + receipt("CFe", key, decoded(6)));
  std::string cancel = example("cancelamento.xml");
  bench.write("canc.xml", cancel.replace(cancel.find("chCanc=\"") + 8, key.size(), key));
  r = bench.run({"CancelarUltimaVenda", "12345678", "canc.xml"});
  EXPECT_EQ(frame(), "|04||12345678|" + key + "|" + cancel);
  EXPECT_NE(decoded(6).find("chCanc=\"" + key + "\""), std::string::npos);
  expect_run(r, cancel_banner("canc.xml") + returned(reply()) + receipt("CFeCanc", field(8), decoded(6)));
  r = bench.run({"ExtrairLogs", "12345678"});
  expect_run(r, kLogHead + "15000|" + field(2) + "\n" + kLogSaved);
  EXPECT_EQ(bench.read("log_sat.txt"), decoded(5));
  EXPECT_EQ(bench.read("log_sat.txt").size(), 3000u);
}

TEST(SessionNumbers, RefusesRecentNumbersWrapsAndDiffersPerRun) {
  static std::vector<int> script;  // one raw value per clock second
  static std::size_t second, waits;
  set_session_random_source({[] { return script.at(second); }, [] { ++second, ++waits; }});
  clear_session_history();
  script = {1234567, 0, 0, 42, 43};
  EXPECT_EQ(_100sessao(), 234567);  // raw values keep their last six digits
  // The cleared 0 and a number still in the history wait for the next second.
  second = 1;
  EXPECT_EQ(_sessao(), 42);
  EXPECT_EQ(_sessao(), 43);
  EXPECT_EQ(waits, 3u);
  // After a hundred numbers the index wraps; only entries up to it are searched.
  clear_session_history();
  script.resize(100);
  std::iota(script.begin(), script.end(), 1);
  script.push_back(50);
  second = waits = 0;
  for (int i = 1; i <= 100; ++i, ++second) EXPECT_EQ(_sessao(), i);
  EXPECT_EQ(idx_100sessoes, 0);
  EXPECT_EQ(_sessao(), 50);
  EXPECT_EQ(waits, 0u);
  // A refused draw waits until time() shows the next second, even where it trails the clock.
  static int reads;
  reads = 0;
  wait_for_next_second(1000, [](time_t*) -> time_t { return ++reads < 3 ? 1000 : 1001; });
  EXPECT_EQ(reads, 3);
  use_real_session_random_source();
  // Runs started within one second, as a re-keyed sale is, draw their own numbers.
  WorkDir dir;
  for (int i = 0; i < 5; ++i) dir.run({"ConsultarSAT"});
  std::istringstream calls(dir.read("calls"));
  std::set<std::string> sessions;
  for (std::string line; std::getline(calls, line);) sessions.insert(line);
  EXPECT_EQ(sessions.size(), 5u) << dir.read("calls");
}
