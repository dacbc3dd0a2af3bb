// The library as a host program links it: a program whose own functions
// carry the names of the library's helpers (a "lock" or "tick" of its own is
// common) must never have them called by the library. The program aborts in
// any of them; it makes every kind of call against a simulated unit and
// against a missing device.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "sim_unit.h"
#include "temp_dir.h"

namespace {

std::string read_file(const std::string& path) {
  return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

std::string codes(const zunra::sim::SimUnit& unit) {
  std::string out;
  for (const std::string& f : unit.frames()) out += (out.empty() ? "" : " ") + f.substr(1, 2);
  return out;
}

TEST(HostProgram, OwnFunctionsOfTheHelpersNamesAreNeverCalled) {
  zunra::test::TempDir dir;
  zunra::sim::SimUnit unit;
  // The first sale goes unanswered: the second attempt asks, then resends.
  unit.on_command(3, zunra::sim::Script(zunra::sim::Act::Silent), 1);
  std::ofstream(dir.path() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << unit.path()
                                         << "\nDEBUG=true\nN_TENT=02\n"
                                            "[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=00:01\n";
  const std::string command = "ZUNRA_SAT_DIR=" + dir.path() +
                              " timeout -s KILL 120 " ZUNRA_TEST_EMULATOR " " HOST_TRAPS_PATH " " +
                              unit.path() + " >" + dir.path() + "/out 2>" + dir.path() + "/err";
  const int status = std::system(command.c_str());

  EXPECT_EQ(read_file(dir.path() + "/err"), "");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(read_file(dir.path() + "/out"),
            "Parametro: |VERSAO| - Valor: ||\n"
            "VERSAO 3.0.0.3_acm0_rpi\n"
            "NumTent 2, device from sat.ini\n"
            "unit\n"
            "ConsultarSAT 000001|08000\n"
            "EnviarDadosVenda 000002|06000\n"
            "CancelarUltimaVenda 000003|07007\n"
            "ConsultarNumeroSessao 000002|06000\n"  // the stored reply, as it was
            "ini_getl N_TENT 2\n"
            "Parametro: |SERIAL| - Valor: |zunra_no_such_unit|\n"
            "SERIAL OK\n"
            "missing device\n"
            "ConsultarSAT 000001|08098\n"
            "EnviarDadosVenda 000002|06098\n"
            "CancelarUltimaVenda 000003|07098\n"
            "ConsultarNumeroSessao 000004|11098\n");
  EXPECT_EQ(codes(unit), "05 03 08 03 04 08");
  // The driver log went through the library's own writer.
  EXPECT_NE(read_file(dir.path() + "/lib_zunra_dorvex.log").find("Resposta de ConsultarSAT: 000001|08000"),
            std::string::npos);
}

}  // namespace
