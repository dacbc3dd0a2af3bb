// A host program whose own functions carry the names of the library's
// helpers (host_traps.c) never has them called by the library.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim_unit.h"
#include "temp_dir.h"

namespace {

std::string read_file(const std::string& path) {
  return (std::ostringstream() << std::ifstream(path).rdbuf()).str();
}

TEST(HostProgram, OwnFunctionsOfTheHelpersNamesAreNeverCalled) {
  zunra::test::TempDir dir;
  zunra::sim::SimUnit unit;
  unit.on_command(3, zunra::sim::Script(zunra::sim::Act::Silent), 1);  // asked about, then resent
  std::ofstream(dir.path() + "/sat.ini")
      << "[DEFAULT]\nSERIAL=" << unit.path()
      << "\nDEBUG=true\nN_TENT=02\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=00:01\n";
  const std::string command = "ZUNRA_SAT_DIR=" + dir.path() +
                              " timeout -s KILL 120 " ZUNRA_TEST_EMULATOR " " HOST_TRAPS_PATH " " +
                              unit.path() + " >" + dir.path() + "/out 2>" + dir.path() + "/err";
  const int status = std::system(command.c_str());
  EXPECT_EQ(read_file(dir.path() + "/err"), "");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(read_file(dir.path() + "/out"),
            "Parametro: |VERSAO| - Valor: ||\nVERSAO 3.0.0.3_acm0_rpi\nNumTent 2, device from sat.ini\nunit\n"
            "ConsultarSAT 000001|08000\nEnviarDadosVenda 000002|06000\nCancelarUltimaVenda 000003|07007\n"
            "ConsultarNumeroSessao 000002|06000\nini_getl N_TENT 2\n"
            "Parametro: |SERIAL| - Valor: |zunra_no_such_unit|\nSERIAL OK\nmissing device\n"
            "ConsultarSAT 000001|08098\nEnviarDadosVenda 000002|06098\nCancelarUltimaVenda 000003|07098\n"
            "ConsultarNumeroSessao 000004|11098\n");
  std::string codes;
  for (const std::string& f : unit.frames()) codes += f.substr(1, 2) + " ";
  EXPECT_EQ(codes, "05 03 08 03 04 08 ");
  EXPECT_NE(read_file(dir.path() + "/lib_zunra_dorvex.log").find("Resposta de ConsultarSAT: 000001|08000"),
            std::string::npos);  // through the library's own log writer
}

}  // namespace
