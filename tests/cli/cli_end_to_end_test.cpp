// sat_cli with the real library against a simulated unit on a pseudo-terminal,
// as a technician runs it: what the unit received, what the technician saw.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "cli_runner.h"
#include "sim_unit.h"

using zunra::sim::SimUnit;
using zunra::test::CliResult;
using zunra::test::CliWorkDir;

namespace {

const std::string kSep = std::string(72, '=') + "\n";
const std::string kDash = "\n" + std::string(70, '-') + "\n";
const std::string kExamples = EXAMPLES_DIR;

std::string file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string field(const std::string& reply, int n) {
  std::size_t start = 0;
  for (int i = 0; i < n; ++i) {
    start = reply.find('|', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return reply.substr(start, reply.find('|', start) - start);
}

std::string decoded(const std::string& text) {
  std::string out;
  EXPECT_TRUE(zunra::sim::base64_decode(text, out)) << text;
  return out;
}

// The unit's last reply; empty when it never answered.
std::string last_reply(const SimUnit& unit) {
  const auto replies = unit.replies();
  return replies.empty() ? "" : replies.back();
}

// The last frame the unit received, its session number blanked ("|01||...").
std::string last_frame(const SimUnit& unit) {
  const auto frames = unit.frames();
  return frames.empty() || frames.back().size() < 10 ? ""
                                                     : frames.back().substr(0, 4) + frames.back().substr(10);
}

// The reply as sat_cli printed it.
std::string printed_reply(const CliResult& r) {
  const std::size_t at = r.out.find("\nRetorno: ") + 10;
  return r.out.substr(at, r.out.find("\n\n", at) - at);
}

// A technician's directory: the library, the shipped examples, and the
// settings pointing at the unit with short deadlines.
struct Bench : CliWorkDir {
  explicit Bench(const SimUnit& unit) : CliWorkDir(LIBRARY_PATH) {
    write("settings/sat.ini", "[DEFAULT]\nSERIAL=" + unit.path().substr(5) +
                                  "\n[TIMEOUT]\nT_EXTRAIR_LOGS=00:01\nT_CONSULTAR_SAT=00:01\n");
    write("config.ini", file(kExamples + "/config.ini"));
    write("venda.xml", file(kExamples + "/venda.xml"));
  }
};

std::string banner(const std::string& name, const std::string& parameters) {
  return kSep + "\nExecutando funcao: " + name + "\nParametros: \n" + parameters;
}

}  // namespace

TEST(SatCliWithUnit, ActivatesSellsCancelsAndExtractsTheLog) {
  SimUnit unit(SimUnit::Options{false, "12345678", 3000, 0, false});
  Bench bench(unit);

  CliResult r = bench.run({"ConsultarSAT"});
  EXPECT_EQ(r.out,
            kSep + "\nExecutando funcao: ConsultarSAT\n\nRetorno: " + last_reply(unit) + "\n\n" + kSep);
  EXPECT_EQ(field(last_reply(unit), 1), "08000");

  // Before activation the unit refuses the log: any other code shows field 3.
  r = bench.run({"ExtrairLogs", "12345678"});
  EXPECT_EQ(r.out, banner("ExtrairLogs", "     Cod. Ativacao: 12345678\n") +
                       "Cod Retorno: " + field(last_reply(unit), 1) + "|" + field(last_reply(unit), 3) +
                       "\n" + std::string(49, '=') + "\n");
  EXPECT_FALSE(bench.exists("log_sat.txt"));

  r = bench.run({"AtivarSAT", "12345678"});
  EXPECT_EQ(last_frame(unit), "|01||1|12345678|11111111111111|35");
  EXPECT_EQ(r.out, banner("AtivarSAT",
                          "     Cod. Ativacao: 12345678\n     Tipo de Certificado: AC_SAT/SEFAZ\n"
                          "     CNPJ Contribuinte: 11111111111111\n     UF: 35\n") +
                       "\nRetorno: " + last_reply(unit) + "\n\n" + kSep);
  EXPECT_EQ(field(last_reply(unit), 1), "04000");

  // The sale goes as the file holds it; its receipt comes back decoded.
  r = bench.run({"EnviarDadosVenda", "12345678", "venda.xml"});
  EXPECT_EQ(last_frame(unit), "|03||12345678|" + file(kExamples + "/venda.xml"));
  std::string reply = last_reply(unit);
  const std::string key = unit.last_sale_key();
  EXPECT_EQ(field(reply, 8), key);
  EXPECT_EQ(r.out,
            banner("EnviarDadosVendas", "     Cod. Ativacao: 12345678\n       Arquivo CFe: venda.xml\n") +
                "\nRetorno: " + reply + "\n\n" + kSep + "\nChave CFe: " + key + "\n" + kDash +
                "\nCFe: " + decoded(field(reply, 6)) + "\n\n" + kDash + "\n");
  EXPECT_EQ(r.status, 0);

  // The cancellation names that receipt by its chCanc and carries the document.
  std::string cancel = file(kExamples + "/cancelamento.xml");
  cancel.replace(cancel.find("chCanc=\"") + 8, key.size(), key);
  bench.write("canc.xml", cancel);
  r = bench.run({"CancelarUltimaVenda", "12345678", "canc.xml"});
  EXPECT_EQ(last_frame(unit), "|04||12345678|" + key + "|" + cancel);
  reply = printed_reply(r);
  EXPECT_EQ(field(reply, 1), "07000");
  EXPECT_EQ(r.out, banner("CancelarUltimaVenda",
                          "       Cod. Ativacao: 12345678\n     Arquivo CFeCanc: canc.xml\n") +
                       "\nRetorno: " + reply + "\n\n" + kSep + "\nChave CFeCanc: " + field(reply, 8) + "\n" +
                       kDash + "\nCFeCanc: " + decoded(field(reply, 6)) + "\n\n" + kDash + "\n");
  EXPECT_NE(decoded(field(reply, 6)).find("chCanc=\"" + key + "\""), std::string::npos);

  r = bench.run({"ExtrairLogs", "12345678"});
  reply = last_reply(unit);
  EXPECT_EQ(r.out, banner("ExtrairLogs", "     Cod. Ativacao: 12345678\n") + "Cod Retorno: 15000|" +
                       field(reply, 2) + "\n" + kDash + "Log salvo em: log_sat.txt\n" + kDash + "\n" +
                       std::string(49, '=') + "\n");
  EXPECT_EQ(bench.read("log_sat.txt"), decoded(field(reply, 5)));
  EXPECT_EQ(bench.read("log_sat.txt").size(), 3000u);
  EXPECT_EQ(r.status, 0);
}

TEST(SatCliWithUnit, SilentUnitGivesTheBusyReply) {
  SimUnit unit;
  unit.on_command(0, zunra::sim::Act::Silent);
  Bench bench(unit);
  const CliResult r = bench.run({"ExtrairLogs", "12345678"});
  EXPECT_EQ(r.out, banner("ExtrairLogs", "     Cod. Ativacao: 12345678\n") +
                       "Cod Retorno: 15098|SAT em processamento. Tente novamente.\n" + std::string(49, '=') +
                       "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(bench.exists("log_sat.txt"));
}
