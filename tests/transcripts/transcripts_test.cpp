// What the driver says, word for word, in the scenes where most of its texts
// are: recovery of a sale, a cancellation after a busy unit, both session
// queries retrying, and a sat.ini setting every key. The texts live in
// tables; a slip in any row changes one of these transcripts.
#include "golden.h"

namespace zunra::test {
namespace {

using sim::Act;
using sim::Script;

Script canned(const std::string& text) {
  Script s(Act::Answer);
  s.canned = text;
  return s;
}

class Transcript : public DriverTest {
 protected:
  Transcript() {
    console_on();
    ModoDebug = 1;
    NumTent = 3, TmpTent = 0;
    for (const auto& [name, pair] : kTimeoutPairs) pair[0] = 0, pair[1] = 8;
  }
  void expect(const std::string& name, const std::string& about) {
    expect_golden(name, about, transcript(console_.finish(), driver_log_lines(), unit().path()));
  }
  StdoutCapture console_;
};

TEST_F(Transcript, SaleRecoveredBySessionQuery) {
  NumTent = 2;
  unit().schedule({Act::Silent, canned("{session}|06000|0000|Emitido com sucesso||")});
  char sale[] = "<CFe/>";
  EXPECT_STREQ(EnviarDadosVenda(123, "12345678", sale), "000123|06000|0000|Emitido com sucesso||");
  expect("sale_recovered_by_query.txt",
         "EnviarDadosVenda, session 123, two attempts: the unit does not answer the sale;\n"
         "the session query finds its receipt, which is returned.");
}

TEST_F(Transcript, CancellationRetransmittedAfterBusy) {
  NumTent = 2;
  unit().schedule(
      {canned("{session}|07098|0000|Atualizando||"), canned("{session}|07000|0000|ok|1|2|3|4|5|6|7")});
  EXPECT_STREQ(CancelarUltimaVenda(124, "12345678", "CFe35", "<CFeCanc/>"),
               "000124|07000|0000|ok|1|2|3|4|5|6||7");
  expect("cancellation_after_busy.txt",
         "CancelarUltimaVenda, session 124, two attempts: the unit answers busy, the\n"
         "cancellation is sent again at once; the reply of ten bars gains its empty field.");
}

TEST_F(Transcript, SessionQueriesRetry) {
  unit().schedule({canned("{session}|11098|Atualizando||"), Act::Silent,
                   canned("000042|06000|0000|Emitido com sucesso||"), canned("{session}|19098|Atualizando||"),
                   canned("{session}|06000|0000|Emitido com sucesso||")});
  EXPECT_STREQ(ConsultarNumeroSessao(5, "12345678", 42), "000042|06000|0000|Emitido com sucesso||");
  EXPECT_STREQ(ConsultarUltimaSessaoFiscal(6, "12345678"), "000006|06000|0000|Emitido com sucesso||");
  expect("session_queries_retry.txt",
         "ConsultarNumeroSessao (session 5, about 42): busy, no answer, then the answer;\n"
         "ConsultarUltimaSessaoFiscal (session 6): busy, then the answer. Three attempts each.");
}

TEST_F(Transcript, SettingsFileWithEveryKey) {
  reset_settings("");
  std::ofstream ini(dir() + "/sat.ini");
  ini << "[DEFAULT]\nDEBUG=true\nSERIAL=ttyACM9\nNO_POPUP=no\nCORRECAO=true\nLOCK=false\nRET_10001=true\n"
         "N_TENT=04\nTMP_TENT=09\nLOG_MAX_KB=100\n[TIMEOUT]\n"
         "T_ATIVAR_SAT=01:01\nT_COMUNICAR_CERTIFICADO_ICPBRASIL=02:02\nT_ENVIAR_DADOS_VENDA=03:03\n"
         "T_CANCELAR_ULTIMA_VENDA=04:04\nT_CONSULTAR_SAT=05:05\nT_TESTE_FIM_A_FIM=06:06\n"
         "T_CONSULTAR_STATUS_OPERACIONAL=07:07\nT_CONSULTAR_NUMERO_SESSAO=08:08\n"
         "T_CONFIGURAR_INTERFACE_DE_REDE=09:09\nT_ASSOCIAR_ASSINATURA=10:10\nT_ATUALIZAR_SOFTWARE_SAT=11:11\n"
         "T_EXTRAIR_LOGS=12:12\nT_BLOQUEAR_SAT=13:13\nT_DESBLOQUEAR_SAT=14:14\n"
         "T_TROCAR_CODIGO_DE_ATIVACAO=15:15\nT_CONSULTAR_ULTIMA_SESSAO_FISCAL=20:20\n";
  ini.close();
  init_lib();
  std::string settings = "== settings\n";
  for (const auto& [name, pair] : kTimeoutPairs)
    settings += std::string(name) + " " + std::to_string(pair[0]) + ":" + std::to_string(pair[1]) + "\n";
  settings += "SAT_SERIAL " + std::string(SAT_SERIAL) + "\nSAT_NOPOPUP " + SAT_NOPOPUP +
              "\nModoDebug Corrigir ModoLock Ret10001 NumTent TmpTent " + std::to_string(ModoDebug) + " " +
              std::to_string(Corrigir) + " " + std::to_string(ModoLock) + " " + std::to_string(Ret10001) +
              " " + std::to_string(NumTent) + " " + std::to_string(TmpTent) + "\n";
  expect_golden("settings_every_key.txt",
                "A sat.ini that sets every [DEFAULT] key and all sixteen [TIMEOUT] keys, each\n"
                "timeout to the number of its command (MM:SS); the settings it leaves.",
                transcript(console_.finish(), driver_log_lines(), "") + settings);
}

}  // namespace
}  // namespace zunra::test
