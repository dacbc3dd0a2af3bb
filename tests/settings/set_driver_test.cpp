#include "exchange.h"
#include "settings_test.h"

TEST_F(SettingsTest, FirstSetDriverLoadsTheFileThenApplies) {
  write_ini("[DEFAULT]\nDEBUG=true\nN_TENT=3\nSERIAL=ttyUSB1\n");
  zunra::test::StdoutCapture out;
  EXPECT_STREQ(SetDriver("DEBUG", "false"), "OK");
  EXPECT_EQ(out.finish(), "Parametro: |DEBUG| - Valor: |false|\n");  // printed although the console is off
  EXPECT_EQ(ModoDebug, 0);
  EXPECT_EQ(NumTent, 3);
  EXPECT_STREQ(SAT_SERIAL, "/dev/ttyUSB1");
  Lines log = take_log();
  ASSERT_EQ(log.size(), 9u);  // loading, then the change logged while debugging was still on
  EXPECT_EQ(log.front(), "Arquivo \"ini\" esta presente. Modo debug ativado ");
  EXPECT_EQ(log.back(), "Debug desativado via comando SetDriver ");

  EXPECT_STREQ(SetDriver("DEBUG", "false"), "OK");
  EXPECT_TRUE(take_log().empty());
  EXPECT_STREQ(SetDriver("DEBUG", "true"), "OK");
  EXPECT_EQ(take_log(), Lines{"Debug ativado via comando SetDriver "});
}

TEST_F(SettingsTest, SetDriverNamesAndAnswers) {
  std::strcpy(BC.data, "000001|06000|0000|Emitido com sucesso||");
  const struct {
    const char* name;
    const char* value;
    const char* answer;
    const char* logged;
  } cases[] = {
      {"RET_X", "true", "OK", "Retorno 10099->10001 ativado via comando SetDriver "},
      {"TMP_TENX", "10", "OK", "(SetDriver)Tempo entre tentativas de transmissão de cupons redefinido para: 10"},
      {"LOCKED", "false", "OK", "Lock das funções desativado via comando SetDriver "},
      {"LOCK", "truely", "OK", "Lock das funções ativado via comando SetDriver "},
      {"NO_POPUP", "xyz", "OK", "Mensagens Popup ativadas via comando SetDriver "},
      {"debug", "true", "FALHA", "Funcao nao implementada no comando SetDriver "},
      {"CORRECAO", "true", "FALHA", "Funcao nao implementada no comando SetDriver "},
      {"DISCOVERY", "x", "FALHA", "Funcao DISCOVER nao implementada no comando SetDriver "},
      {"", "", "FALHA", "Funcao nao implementada no comando SetDriver "},
      {"VERSAO", "qualquer", "3.0.0.3_acm0_rpi",
       "(SetDriver)Informada versão da DLL via comando SetDriver: 3.0.0.3_acm0_rpi"},
      {"SERIALIZE", "ttyUSB0", "OK", "Interface configurada via comando SetSAT: /dev/ttyUSB0"},
      {"SERIAL", "/dev/ttyACM1", "OK", "Interface configurada via comando SetSAT: /dev/ttyACM1"},
      {"SERIAL", "", "ERRO", "Erro ao tentar configurar Interface via comando SetDriver "},
      {"SERIAL", "by-id/usb-Dorvex_SAT_0001-if00", "ERRO", "Erro ao tentar configurar Interface via comando SetDriver "},
  };
  SetDriver("DEBUG", "true");
  take_log();
  for (const auto& c : cases) {
    EXPECT_STREQ(SetDriver(c.name, c.value), c.answer) << c.name;
    EXPECT_EQ(take_log(), Lines{c.logged}) << c.name;
  }
  EXPECT_EQ(Ret10001, 1);
  EXPECT_EQ(TmpTent, 10);
  EXPECT_EQ(ModoLock, 1);
  EXPECT_EQ(Corrigir, 0);
  EXPECT_STREQ(SAT_SERIAL, "/dev/ttyACM1");  // refusals changed nothing
  EXPECT_TRUE(zunra::console_enabled());
  EXPECT_STREQ(BC.data, "000001|06000|0000|Emitido com sucesso||");

  zunra::test::StdoutCapture out;
  EXPECT_STREQ(SetDriver(nullptr, nullptr), "FALHA");
  EXPECT_EQ(out.finish(), "Parametro: || - Valor: ||\n");
}

TEST_F(SettingsTest, SetDriverRetryNumbersTakeTwoCharacters) {
  const struct {
    const char* name;
    const char* value;
    const char* answer;
    int num_tent, tmp_tent;
  } cases[] = {
      {"N_TENT", "05", "OK", 5, 9},  {"N_TENT", "5", "ERRO", 1, 9},  {"N_TENT", "00", "ERRO", 1, 9},
      {"N_TENT", "-5", "ERRO", 1, 9}, {"N_TENT", "5x", "OK", 5, 9},  {"N_TENT", "123", "ERRO", 1, 9},
      {"TMP_TENT", "02", "ERRO", 9, 3}, {"TMP_TENT", "7", "ERRO", 9, 6}, {"TMP_TENT", "45", "OK", 9, 45},
  };
  for (const auto& c : cases) {
    NumTent = TmpTent = 9;
    EXPECT_STREQ(SetDriver(c.name, c.value), c.answer) << c.name << c.value;
    EXPECT_EQ(NumTent, c.num_tent) << c.name << c.value;
    EXPECT_EQ(TmpTent, c.tmp_tent) << c.name << c.value;
  }
  SetDriver("DEBUG", "true");
  take_log();
  SetDriver("N_TENT", "0");
  SetDriver("N_TENT", "-1");
  SetDriver("TMP_TENT", "01");
  EXPECT_EQ(take_log(), (Lines{
                            "(SetDriver)N_TENT: valor inválido ",
                            "(SetDriver)Num. de tentativas de transmissão de cupons redefinido para valor mínimo: 1 ",
                            "(SetDriver)Tempo entre tentativas de transmissão de cupons redefinido para valor mínimo: 3 ",
                        }));
}
