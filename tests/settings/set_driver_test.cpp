#include "exchange.h"
#include "settings_test.h"

TEST_F(SettingsTest, FirstSetDriverLoadsTheFileOnceThenApplies) {
  write_ini("[DEFAULT]\nDEBUG=true\nN_TENT=3\nSERIAL=ttyUSB1\n");
  zunra::test::StdoutCapture out;
  EXPECT_STREQ(SetDriver("DEBUG", "false"), "OK");
  EXPECT_EQ(out.finish(), "Parametro: |DEBUG| - Valor: |false|\n");  // printed although the console is off
  EXPECT_EQ(NumTent, 3);
  EXPECT_STREQ(SAT_SERIAL, "/dev/ttyUSB1");
  EXPECT_EQ(take_log().back(), "Debug desativado via comando SetDriver ");  // logged while still on
  write_ini("[DEFAULT]\nN_TENT=7\n");
  EXPECT_STREQ(SetDriver("DEBUG", "false"), "OK");
  EXPECT_EQ(NumTent, 3);
}

TEST_F(SettingsTest, SetDriverNamesAndAnswers) {
  std::strcpy(BC.data, "000001|06000|0000|Emitido com sucesso||");
  const char* const cases[][3] = {
      // name, value, answer
      {"RET_X", "true", "OK"},        {"LOCKED", "false", "OK"},
      {"debug", "true", "FALHA"},     {"CORRECAO", "true", "FALHA"},
      {"DISCOVERY", "x", "FALHA"},    {"VERSAO", "x", "3.0.0.3_acm0_rpi"},
      {"SERIALIZE", "ttyUSB0", "OK"}, {"SERIAL", "/dev/ttyACM1", "OK"},
      {"SERIAL", "", "ERRO"},         {"SERIAL", "by-id/usb-Dorvex_SAT_0001-if00", "ERRO"}};
  for (const auto& c : cases) EXPECT_STREQ(SetDriver(c[0], c[1]), c[2]) << c[0] << c[1];
  EXPECT_EQ((std::tuple{Ret10001, ModoLock, Corrigir}), std::tuple(1, 0, 0));
  EXPECT_STREQ(SAT_SERIAL, "/dev/ttyACM1");  // refusals changed nothing
  EXPECT_STREQ(BC.data, "000001|06000|0000|Emitido com sucesso||");
  EXPECT_STREQ(SetDriver(nullptr, nullptr), "FALHA");
}

TEST_F(SettingsTest, SetDriverRetryNumbersTakeTwoCharacters) {
  // name, value, answer, then NumTent and TmpTent after the call
  const std::tuple<const char*, const char*, const char*, int, int> cases[] = {
      {"N_TENT", "05", "OK", 5, 9},    {"N_TENT", "5", "ERRO", 1, 9},  {"N_TENT", "00", "ERRO", 1, 9},
      {"N_TENT", "-5", "ERRO", 1, 9},  {"N_TENT", "5x", "OK", 5, 9},   {"TMP_TENT", "02", "ERRO", 9, 3},
      {"TMP_TENT", "7", "ERRO", 9, 6}, {"TMP_TENT", "45", "OK", 9, 45}};
  for (const auto& [name, value, answer, num_tent, tmp_tent] : cases) {
    NumTent = TmpTent = 9;
    EXPECT_STREQ(SetDriver(name, value), answer) << name << value;
    EXPECT_EQ((std::pair{NumTent, TmpTent}), std::pair(num_tent, tmp_tent)) << name << value;
  }
}
