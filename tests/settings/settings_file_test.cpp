#include "settings_file.h"
#include "settings_test.h"

TEST_F(SettingsTest, WithoutFileBuiltInsHoldAndLoadingHappensOnce) {
  zunra::ensure_settings_loaded();
  EXPECT_STREQ(SAT_SERIAL, "/dev/ttyACM0");
  EXPECT_STREQ(SAT_NOPOPUP, "true");
  EXPECT_FALSE(zunra::console_enabled());
  EXPECT_EQ(NumTent, 1);
  EXPECT_EQ(TmpTent, 6);
  EXPECT_EQ(ModoLock, 1);

  // A file that appears later is not read by this process.
  write_ini("[DEFAULT]\nDEBUG=true\nN_TENT=4\n");
  zunra::ensure_settings_loaded();
  SetDriver("VERSAO", "");
  EXPECT_EQ(ModoDebug, 0);
  EXPECT_EQ(NumTent, 1);
}

TEST_F(SettingsTest, DevicePathFromFile) {
  const std::string long24(24, 'x');
  const struct {
    std::string line, expect;
  } cases[] = {
      {"SERIAL=ttyUSB0", "/dev/ttyUSB0"},
      {"SERIAL=/dev/ttyS1", "/dev/ttyS1"},
      {"SERIAL=", "/dev/"},
      {"", "/dev/ttyACM0"},
      {"SERIAL=" + long24, "/dev/" + long24},                      // 29 characters fit
      {"SERIAL=/dev/" + long24, "/dev/" + long24},
      {"SERIAL=" + long24 + "y", "/dev/ttyACM0"},                  // 30 do not: refused
      {"SERIAL=/dev/" + long24 + "y", "/dev/ttyACM0"},
  };
  for (const auto& c : cases) {
    load("[DEFAULT]\n" + c.line + "\n");
    EXPECT_EQ(SAT_SERIAL, c.expect) << c.line;
  }

  load("[DEFAULT]\nDEBUG=true\nSERIAL=by-id/usb-Dorvex_SAT_0001-if00\n");
  EXPECT_STREQ(SAT_SERIAL, "/dev/ttyACM0");
  Lines log = take_log();
  EXPECT_EQ(log.at(0),
            "Interface do arquivo ini ignorada, caminho com mais de 29 caracteres: by-id/usb-Dorvex_SAT_0001-if00");
  EXPECT_EQ(log.at(3), "Utilizando interface: /dev/ttyACM0");
}

TEST_F(SettingsTest, RetrySettingsTakeOneOrTwoDigits) {
  const struct {
    const char* line;
    int* target;
    int expect;
    const char* logged;  // "" when nothing may be logged
  } cases[] = {
      {"N_TENT=5", &NumTent, 5, "Num. de tentativas de transmissao de cupons redefinido para: 5"},
      {"N_TENT=05", &NumTent, 5, "Num. de tentativas de transmissao de cupons redefinido para: 05"},
      {"N_TENT=0", &NumTent, 1, "Num. de tentativas de transmissao cupons redefinido para valor minimo: 1"},
      {"N_TENT=100", &NumTent, 9, ""},
      {"N_TENT=-1", &NumTent, 9, ""},
      {"N_TENT=a", &NumTent, 9, ""},
      {"N_TENT=", &NumTent, 9, ""},
      {"TMP_TENT=2", &TmpTent, 3,
       "Tempo entre tentativas de transmissao de cupons redefinido para valor minimo (em segundos): 3"},
      {"TMP_TENT=7", &TmpTent, 7, "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): 7"},
      {"TMP_TENT=10", &TmpTent, 10,
       "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): 10"},
      {"TMP_TENT=1x", &TmpTent, 9, ""},
  };
  for (const auto& c : cases) {
    *c.target = 9;
    load(std::string("[DEFAULT]\nDEBUG=true\n") + c.line + "\n");
    EXPECT_EQ(*c.target, c.expect) << c.line;
    Lines log = take_log();
    ASSERT_EQ(log.size(), *c.logged ? 8u : 7u) << c.line;
    if (*c.logged) {
      EXPECT_EQ(log.back(), c.logged);
    }
  }
}

TEST_F(SettingsTest, SwitchTextsAndLoadingLogInOrder) {
  load("[DEFAULT]\nDEBUG=TRUE\nCORRECAO=true\nLOCK=yes\n");
  EXPECT_EQ(ModoDebug, 0);
  EXPECT_EQ(Corrigir, 1);
  EXPECT_EQ(ModoLock, 0);
  EXPECT_TRUE(take_log().empty());

  // "no" is not "false", so the console stays quiet, yet it is not "true".
  load("[DEFAULT]\nDEBUG=truex\nNO_POPUP=no\nLOCK=true\nRET_10001=true\nCORRECAO=nao\n"
       "N_TENT=3\nTMP_TENT=10\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:00\n");
  EXPECT_EQ(ModoDebug, 1);
  EXPECT_FALSE(zunra::console_enabled());
  EXPECT_EQ(take_log(), (Lines{
                            "Arquivo \"ini\" esta presente. Modo debug ativado ",
                            "Versao da lib: 3.0.0.3_acm0_rpi",
                            "Utilizando interface: /dev/ttyACM0",
                            "Mensagens Popup ativadas ",
                            "Correcao de caracteres escapados desativada ",
                            "Lock das funcoes ativada ",
                            "Retorno 10099->10001 ativado ",
                            "Num. de tentativas de transmissao de cupons redefinido para: 3",
                            "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): 10",
                            "Definicao de novos timeouts presente. ",
                            "Timeout_EnviarDadosVenda redefinido para: 01:00",
                        }));
}

TEST_F(SettingsTest, TimeoutSection) {
  // Every key lands in its own pair: minutes = row, seconds = 40 + row.
  const char* keys[] = {"T_ATIVAR_SAT", "T_COMUNICAR_CERTIFICADO_ICPBRASIL", "T_ENVIAR_DADOS_VENDA",
                        "T_CANCELAR_ULTIMA_VENDA", "T_CONSULTAR_SAT", "T_TESTE_FIM_A_FIM",
                        "T_CONSULTAR_STATUS_OPERACIONAL", "T_CONSULTAR_NUMERO_SESSAO",
                        "T_CONSULTAR_ULTIMA_SESSAO_FISCAL", "T_CONFIGURAR_INTERFACE_DE_REDE",
                        "T_ASSOCIAR_ASSINATURA", "T_ATUALIZAR_SOFTWARE_SAT", "T_EXTRAIR_LOGS", "T_BLOQUEAR_SAT",
                        "T_DESBLOQUEAR_SAT", "T_TROCAR_CODIGO_DE_ATIVACAO"};
  int* pairs[] = {T_Ativ, T_ICP,  T_Venda, T_Canc, T_Cons, T_Fim,  T_Stat, T_Sessao, T_SessaoFiscal,
                  T_Rede, T_Assoc, T_Atual, T_Logs, T_Bloq, T_Desbloq, T_CodAtiv};
  std::string file = "[TIMEOUT]\n";
  for (int row = 0; row < 16; ++row)
    file += std::string(keys[row]) + "=" + (row < 10 ? "0" : "") + std::to_string(row) + ":" +
            std::to_string(40 + row) + "\n";
  load(file + "[DEFAULT]\nDEBUG=true\n");  // [TIMEOUT] first, [DEFAULT] second: both read
  for (int row = 0; row < 16; ++row) {
    EXPECT_EQ(pairs[row][0], row) << keys[row];
    EXPECT_EQ(pairs[row][1], 40 + row) << keys[row];
  }
  Lines log = take_log();
  ASSERT_EQ(log.size(), 7u + 1 + 16);
  EXPECT_EQ(log[7], "Definicao de novos timeouts presente. ");
  EXPECT_EQ(log[7 + 10], "Timeout_ConfigurarInterfacceDeRede redefinido para: 09:49");

  const struct {
    std::string file;
    int minutes, seconds;
  } cases[] = {
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:30\n", 1, 30},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=00:00\n", 0, 0},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=1:30\n", 7, 7},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:3x\n", 7, 7},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:300\n", 7, 7},
      {"[timeout]\nT_ENVIAR_DADOS_VENDA=01:30\n", 7, 7},
      {"[DEFAULT]\n[REDE]\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:30\n", 7, 7},
      {"[DEFAULT]\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:30\n", 1, 30},
  };
  for (const auto& c : cases) {
    T_Venda[0] = T_Venda[1] = 7;
    load(c.file);
    EXPECT_EQ(T_Venda[0], c.minutes) << c.file;
    EXPECT_EQ(T_Venda[1], c.seconds) << c.file;
  }
}

TEST_F(SettingsTest, TimeoutTextShape) {
  EXPECT_EQ(valida_TOUT("12:34 and more"), 1);
  EXPECT_STREQ(sMM, "12");
  EXPECT_STREQ(sSS, "34");
  for (const char* bad : {"1:34", "12-34", "12:3", "a2:34", "", "1"}) EXPECT_EQ(valida_TOUT(bad), 0) << bad;
  EXPECT_EQ(valida_TOUT(nullptr), 0);
  EXPECT_STREQ(sMM, "12");
}
