// The first SAT call already runs on the file: deadline, correction, attempts.
#include <chrono>

#include "settings_test.h"

using zunra::sim::Act;

TEST(FirstCall, HonoursTheFileTimeoutPairCorrectionAndAttempts) {
  zunra::test::DriverEnvironment env;
  zunra::test::reset_settings("");
  std::ofstream(env.dir() + "/sat.ini")
      << "[DEFAULT]\nSERIAL=" << env.unit().path().substr(5)
      << "\nCORRECAO=true\nN_TENT=2\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=00:01\n";
  TmpTent = 0;
  env.unit().schedule({Act::Busy, Act::Silent});
  char sale[] = "<CFe><infCFe><xProd>&#x41;</xProd></infCFe></CFe>";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_STREQ(EnviarDadosVenda(77, "12345678", sale),
               "000077|06098|0000|SAT em processamento. Tente novamente.||");
  // The built-in pair would take 20 s for the silent attempt alone.
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            20 * std::chrono::milliseconds(zunra::deadline_second_ms) / 2);
  const auto frames = env.unit().frames();
  ASSERT_EQ(frames.size(), 2u);  // busy, then sent again
  EXPECT_EQ(frames[0], "|03|000077|12345678|<CFe><infCFe><xProd>     A</xProd></infCFe></CFe>");
}
