#include "settings_file.h"

#include "settings_test.h"

TEST_F(SettingsTest, DevicePathAndRetryNumbersFromFile) {
  const std::string x24(24, 'x');  // "/dev/" + 24 characters is the longest path held
  const std::pair<std::string, std::string> paths[] = {{"SERIAL=ttyUSB0", "/dev/ttyUSB0"},
                                                       {"SERIAL=/dev/ttyS1", "/dev/ttyS1"},
                                                       {"", "/dev/ttyACM0"},
                                                       {"SERIAL=/dev/" + x24, "/dev/" + x24},
                                                       {"SERIAL=" + x24 + "y", "/dev/ttyACM0"}};
  for (const auto& [line, expect] : paths) {
    load("[DEFAULT]\n" + line + "\n");
    EXPECT_EQ(SAT_SERIAL, expect) << line;
  }
  const std::tuple<const char*, int*, int> numbers[] = {
      {"N_TENT=05", &NumTent, 5}, {"N_TENT=0", &NumTent, 1},   {"N_TENT=100", &NumTent, 9},
      {"N_TENT=-1", &NumTent, 9}, {"TMP_TENT=2", &TmpTent, 3}, {"TMP_TENT=7", &TmpTent, 7}};
  for (const auto& [line, target, expect] : numbers) {
    *target = 9;
    load(std::string("[DEFAULT]\n") + line + "\n");
    EXPECT_EQ(*target, expect) << line;
  }
}

TEST_F(SettingsTest, SwitchTextsAndTimeouts) {
  load("[DEFAULT]\nDEBUG=TRUE\nCORRECAO=true\nLOCK=yes\n");
  EXPECT_EQ((std::tuple{ModoDebug, Corrigir, ModoLock}), std::tuple(0, 1, 0));
  load("[DEFAULT]\nDEBUG=truex\nNO_POPUP=no\n");  // "no" is not "false", yet not "true"
  EXPECT_FALSE(zunra::console_enabled());

  const std::pair<std::string, std::pair<int, int>> cases[] = {
      // (7, 7): left alone
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=00:00", {0, 0}},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=1:30", {7, 7}},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:3x", {7, 7}},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:300", {7, 7}},
      {"[timeout]\nT_ENVIAR_DADOS_VENDA=01:30", {7, 7}},
      {"[DEFAULT]\n[REDE]\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:30", {7, 7}}};
  for (const auto& [text, pair] : cases) {
    T_Venda[0] = T_Venda[1] = 7;
    load(text + "\n");
    EXPECT_EQ((std::pair{T_Venda[0], T_Venda[1]}), pair) << text;
  }
  // The exported check takes a prefix and leaves its fields alone on refusal.
  EXPECT_EQ(valida_TOUT("12:34 and more") + valida_TOUT("12-34") + valida_TOUT(nullptr), 1);
  EXPECT_EQ(std::string(sMM) + sSS, "1234");
}
