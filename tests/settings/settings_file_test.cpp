#include "settings_file.h"

#include "settings_test.h"

TEST_F(SettingsTest, DevicePathFromFile) {
  const std::string x24(24, 'x');  // "/dev/" + 24 characters is the longest path held
  const std::pair<std::string, std::string> cases[] = {{"SERIAL=ttyUSB0", "/dev/ttyUSB0"},
                                                       {"SERIAL=/dev/ttyS1", "/dev/ttyS1"},
                                                       {"SERIAL=", "/dev/"},
                                                       {"", "/dev/ttyACM0"},
                                                       {"SERIAL=/dev/" + x24, "/dev/" + x24},
                                                       {"SERIAL=" + x24 + "y", "/dev/ttyACM0"}};
  for (const auto& [line, expect] : cases) {
    load("[DEFAULT]\n" + line + "\n");
    EXPECT_EQ(SAT_SERIAL, expect) << line;
  }
  load("[DEFAULT]\nDEBUG=true\nSERIAL=by-id/usb-Dorvex_SAT_0001-if00\n");
  Lines log = take_log();
  EXPECT_EQ(
      log.at(0),
      "Interface do arquivo ini ignorada, caminho com mais de 29 caracteres: by-id/usb-Dorvex_SAT_0001-if00");
  EXPECT_EQ(log.at(3), "Utilizando interface: /dev/ttyACM0");
}

TEST_F(SettingsTest, RetrySettingsTakeOneOrTwoDigits) {
  const std::tuple<const char*, int*, int, const char*> cases[] = {
      // line, setting, value, log ("": none)
      {"N_TENT=05", &NumTent, 5, "Num. de tentativas de transmissao de cupons redefinido para: 05"},
      {"N_TENT=0", &NumTent, 1, "Num. de tentativas de transmissao cupons redefinido para valor minimo: 1"},
      {"N_TENT=100", &NumTent, 9, ""},
      {"N_TENT=-1", &NumTent, 9, ""},
      {"N_TENT=a", &NumTent, 9, ""},
      {"TMP_TENT=2", &TmpTent, 3,
       "Tempo entre tentativas de transmissao de cupons redefinido para valor minimo (em segundos): 3"},
      {"TMP_TENT=7", &TmpTent, 7,
       "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): 7"},
  };
  for (const auto& [line, target, expect, logged] : cases) {
    *target = 9;
    load(std::string("[DEFAULT]\nDEBUG=true\n") + line + "\n");
    EXPECT_EQ(*target, expect) << line;
    Lines log = take_log();  // the seven lines of loading come first
    EXPECT_EQ(log.size() > 7 ? log[7] : "", logged) << line;
  }
}

TEST_F(SettingsTest, SwitchTextsAndLoadingLogInOrder) {
  load("[DEFAULT]\nDEBUG=TRUE\nCORRECAO=true\nLOCK=yes\n");
  EXPECT_EQ((std::tuple{ModoDebug, Corrigir, ModoLock}), std::tuple(0, 1, 0));

  // "no" is not "false", so the console stays quiet, yet it is not "true".
  load(
      "[DEFAULT]\nDEBUG=truex\nNO_POPUP=no\nLOCK=true\nRET_10001=true\nCORRECAO=nao\n"
      "N_TENT=3\nTMP_TENT=10\n[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:00\n");
  EXPECT_FALSE(zunra::console_enabled());
  EXPECT_EQ(
      take_log(),
      (Lines{"Arquivo \"ini\" esta presente. Modo debug ativado ", "Versao da lib: 3.0.0.3_acm0_rpi",
             "Utilizando interface: /dev/ttyACM0", "Mensagens Popup ativadas ",
             "Correcao de caracteres escapados desativada ", "Lock das funcoes ativada ",
             "Retorno 10099->10001 ativado ",
             "Num. de tentativas de transmissao de cupons redefinido para: 3",
             "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): 10",
             "Definicao de novos timeouts presente. ", "Timeout_EnviarDadosVenda redefinido para: 01:00"}));
}

TEST_F(SettingsTest, TimeoutSection) {
  // Every key sets its own pair: row r gives (r, 40 + r).
  const std::pair<const char*, int*> keys[] = {{"ATIVAR_SAT", T_Ativ},
                                               {"COMUNICAR_CERTIFICADO_ICPBRASIL", T_ICP},
                                               {"ENVIAR_DADOS_VENDA", T_Venda},
                                               {"CANCELAR_ULTIMA_VENDA", T_Canc},
                                               {"CONSULTAR_SAT", T_Cons},
                                               {"TESTE_FIM_A_FIM", T_Fim},
                                               {"CONSULTAR_STATUS_OPERACIONAL", T_Stat},
                                               {"CONSULTAR_NUMERO_SESSAO", T_Sessao},
                                               {"CONSULTAR_ULTIMA_SESSAO_FISCAL", T_SessaoFiscal},
                                               {"CONFIGURAR_INTERFACE_DE_REDE", T_Rede},
                                               {"ASSOCIAR_ASSINATURA", T_Assoc},
                                               {"ATUALIZAR_SOFTWARE_SAT", T_Atual},
                                               {"EXTRAIR_LOGS", T_Logs},
                                               {"BLOQUEAR_SAT", T_Bloq},
                                               {"DESBLOQUEAR_SAT", T_Desbloq},
                                               {"TROCAR_CODIGO_DE_ATIVACAO", T_CodAtiv}};
  std::string file = "[TIMEOUT]\n";
  char line[64];
  for (int r = 0; r < 16; ++r)
    file += (std::snprintf(line, 64, "T_%s=%02d:%02d\n", keys[r].first, r, 40 + r), line);
  load(file + "[DEFAULT]\nDEBUG=true\n");  // [TIMEOUT] first and [DEFAULT] second: both read
  for (int r = 0; r < 16; ++r)
    EXPECT_EQ((std::pair{keys[r].second[0], keys[r].second[1]}), std::pair(r, 40 + r)) << keys[r].first;
  EXPECT_EQ(take_log().at(8 + 9), "Timeout_ConfigurarInterfacceDeRede redefinido para: 09:49");

  const std::pair<std::string, std::pair<int, int>> cases[] = {
      // (7, 7): left alone
      {"[TIMEOUT]\nT_ENVIAR_DADOS_VENDA=01:30", {1, 30}},
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
  EXPECT_EQ(
      valida_TOUT("12:34 and more") + valida_TOUT("12-34") + valida_TOUT("a2:34") + valida_TOUT(nullptr), 1);
  EXPECT_EQ(std::string(sMM) + sSS, "1234");
}
