#include "settings_file.h"
#include "settings_test.h"

TEST_F(SettingsTest, DevicePathFromFile) {
  const std::string x24(24, 'x');  // "/dev/" + 24 characters is the longest path held
  const std::pair<std::string, std::string> cases[] = {
      {"SERIAL=ttyUSB0", "/dev/ttyUSB0"}, {"SERIAL=/dev/ttyS1", "/dev/ttyS1"}, {"SERIAL=", "/dev/"},
      {"", "/dev/ttyACM0"},               {"SERIAL=" + x24, "/dev/" + x24},   {"SERIAL=/dev/" + x24, "/dev/" + x24},
      {"SERIAL=" + x24 + "y", "/dev/ttyACM0"}, {"SERIAL=/dev/" + x24 + "y", "/dev/ttyACM0"}};
  for (const auto& [line, expect] : cases) {
    load("[DEFAULT]\n" + line + "\n");
    EXPECT_EQ(SAT_SERIAL, expect) << line;
  }
  load("[DEFAULT]\nDEBUG=true\nSERIAL=by-id/usb-Dorvex_SAT_0001-if00\n");
  Lines log = take_log();
  EXPECT_EQ(log.at(0), "Interface do arquivo ini ignorada, caminho com mais de 29 caracteres: by-id/usb-Dorvex_SAT_0001-if00");
  EXPECT_EQ(log.at(3), "Utilizando interface: /dev/ttyACM0");
}

TEST_F(SettingsTest, RetrySettingsTakeOneOrTwoDigits) {
  const struct {
    const char* line;
    int* target;
    int expect;
    const char* logged;  // nullptr: nothing logged
  } cases[] = {
      {"N_TENT=05", &NumTent, 5, "Num. de tentativas de transmissao de cupons redefinido para: 05"},
      {"N_TENT=0", &NumTent, 1, "Num. de tentativas de transmissao cupons redefinido para valor minimo: 1"},
      {"N_TENT=100", &NumTent, 9, nullptr}, {"N_TENT=-1", &NumTent, 9, nullptr}, {"N_TENT=a", &NumTent, 9, nullptr},
      {"TMP_TENT=2", &TmpTent, 3,
       "Tempo entre tentativas de transmissao de cupons redefinido para valor minimo (em segundos): 3"},
      {"TMP_TENT=7", &TmpTent, 7, "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): 7"},
  };
  for (const auto& c : cases) {
    *c.target = 9;
    load(std::string("[DEFAULT]\nDEBUG=true\n") + c.line + "\n");
    EXPECT_EQ(*c.target, c.expect) << c.line;
    Lines log = take_log();  // the seven lines of loading come first
    EXPECT_EQ(log.size() > 7 ? log[7] : "", c.logged ? c.logged : "") << c.line;
  }
}

TEST_F(SettingsTest, SwitchTextsAndLoadingLogInOrder) {
  load("[DEFAULT]\nDEBUG=TRUE\nCORRECAO=true\nLOCK=yes\n");
  EXPECT_EQ(ModoDebug, 0);
  EXPECT_EQ(Corrigir, 1);
  EXPECT_EQ(ModoLock, 0);

  // "no" is not "false", so the console stays quiet, yet it is not "true".
  load("[DEFAULT]\nDEBUG=truex\nNO_POPUP=no\nLOCK=true\nRET_10001=true\nCORRECAO=nao\n"
       "N_TENT=3\nTMP_TENT=10\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:00\n");
  EXPECT_FALSE(zunra::console_enabled());
  EXPECT_EQ(take_log(), (Lines{"Arquivo \"ini\" esta presente. Modo debug ativado ", "Versao da lib: 3.0.0.3_acm0_rpi",
                               "Utilizando interface: /dev/ttyACM0", "Mensagens Popup ativadas ",
                               "Correcao de caracteres escapados desativada ", "Lock das funcoes ativada ",
                               "Retorno 10099->10001 ativado ",
                               "Num. de tentativas de transmissao de cupons redefinido para: 3",
                               "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): 10",
                               "Definicao de novos timeouts presente. ",
                               "Timeout_EnviarDadosVenda redefinido para: 01:00"}));
}

TEST_F(SettingsTest, TimeoutSection) {
  // Every key sets its own pair: row r gives (r, 40 + r).
  const char* keys[] = {"ATIVAR_SAT", "COMUNICAR_CERTIFICADO_ICPBRASIL", "ENVIAR_DADOS_VENDA", "CANCELAR_ULTIMA_VENDA",
                        "CONSULTAR_SAT", "TESTE_FIM_A_FIM", "CONSULTAR_STATUS_OPERACIONAL", "CONSULTAR_NUMERO_SESSAO",
                        "CONSULTAR_ULTIMA_SESSAO_FISCAL", "CONFIGURAR_INTERFACE_DE_REDE", "ASSOCIAR_ASSINATURA",
                        "ATUALIZAR_SOFTWARE_SAT", "EXTRAIR_LOGS", "BLOQUEAR_SAT", "DESBLOQUEAR_SAT",
                        "TROCAR_CODIGO_DE_ATIVACAO"};
  int* pairs[] = {T_Ativ, T_ICP,   T_Venda, T_Canc, T_Cons, T_Fim,  T_Stat,    T_Sessao,
                  T_SessaoFiscal, T_Rede, T_Assoc, T_Atual, T_Logs, T_Bloq, T_Desbloq, T_CodAtiv};
  std::string file = "[TIMEOUT]\n";
  char line[64];
  for (int r = 0; r < 16; ++r) {
    std::snprintf(line, sizeof line, "T_%s=%02d:%02d\n", keys[r], r, 40 + r);
    file += line;
  }
  load(file + "[DEFAULT]\nDEBUG=true\n");  // [TIMEOUT] first and [DEFAULT] second: both read
  for (int r = 0; r < 16; ++r) EXPECT_EQ((std::pair{pairs[r][0], pairs[r][1]}), std::pair(r, 40 + r)) << keys[r];
  EXPECT_EQ(take_log().at(8 + 9), "Timeout_ConfigurarInterfacceDeRede redefinido para: 09:49");

  const std::pair<std::string, std::pair<int, int>> cases[] = {  // (7, 7): left alone
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:30", {1, 30}}, {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=00:00", {0, 0}},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=1:30", {7, 7}},   {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:3x", {7, 7}},
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:300", {7, 7}}, {"[timeout]\nT_ENVIAR_DADOS_VENDA=01:30", {7, 7}},
      {"[DEFAULT]\n[REDE]\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:30", {7, 7}}};
  for (const auto& [text, pair] : cases) {
    T_Venda[0] = T_Venda[1] = 7;
    load(text + "\n");
    EXPECT_EQ((std::pair{T_Venda[0], T_Venda[1]}), pair) << text;
  }
}

TEST_F(SettingsTest, TimeoutTextShape) {
  EXPECT_EQ(valida_TOUT("12:34 and more"), 1);
  EXPECT_STREQ(sMM, "12");
  EXPECT_STREQ(sSS, "34");
  for (const char* bad : {"1:34", "12-34", "12:3", "a2:34", "1", static_cast<const char*>(nullptr)})
    EXPECT_EQ(valida_TOUT(bad), 0) << (bad ? bad : "null");
  EXPECT_STREQ(sMM, "12");
}
