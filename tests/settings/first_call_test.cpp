// The first SAT call of a process already runs on the settings file: its
// deadline, the correction of the sale document and the number of attempts.
#include "settings_test.h"

#include <chrono>

using zunra::sim::Act;

class FirstCallTest : public ::testing::Test {
 protected:
  FirstCallTest() { zunra::test::reset_settings(""); }  // as at process start: nothing loaded

  void write_ini(const std::string& text) {
    std::ofstream(env_.dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << env_.unit().path().substr(5) << "\n" << text;
  }

  zunra::test::DriverEnvironment env_;
  char sale_[64] = "<CFe><infCFe><xProd>&#x41;</xProd></infCFe></CFe>";
};

TEST_F(FirstCallTest, HonoursTheFileTimeoutPair) {
  write_ini("[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=00:01\n");  // built-in: 20 s
  env_.unit().on_command(3, {Act::Silent});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_STREQ(EnviarDadosVenda(77, "12345678", sale_), "000077|06098|0000|SAT em processamento. Tente novamente.||");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20 * std::chrono::milliseconds(zunra::deadline_second_ms) / 2);
}

TEST_F(FirstCallTest, HonoursTheFileCorrectionAndAttempts) {
  write_ini("CORRECAO=true\nN_TENT=2\n");
  TmpTent = 0;  // no pause between the attempts
  env_.unit().on_command(3, {Act::Busy}, 1);
  EXPECT_EQ(std::string(EnviarDadosVenda(78, "12345678", sale_)).substr(0, 13), "000078|06000|");
  const auto frames = env_.unit().frames();
  ASSERT_EQ(frames.size(), 2u);  // busy, then sent again
  EXPECT_EQ(frames[0], "|03|000078|12345678|<CFe><infCFe><xProd>     A</xProd></infCFe></CFe>");
}
