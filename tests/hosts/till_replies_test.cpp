// What a till program (till_replies.c, a process of its own linked to the
// library) gets back for session numbers the unit's six digits do not hold,
// behind the late tail of an earlier reply, and for texts that hold the
// frame terminator.
#include <gtest/gtest.h>

#include "host_run.h"
#include "sim_unit.h"
#include "temp_dir.h"

namespace {

using zunra::sim::Script;
using zunra::test::file_text;

class TillReplies : public ::testing::Test {
 protected:
  // Runs the till with this case against the unit; its standard output.
  std::string run(const std::string& which) {
    zunra::test::write_host_settings(
        dir_.path(), unit_.path(),
        "DEBUG=true\n[TIMEOUT]\nT_CONSULTAR_SAT=00:03\nT_ENVIAR_DADOS_VENDA=00:03\n"
        "T_CONSULTAR_NUMERO_SESSAO=00:03\nT_CONSULTAR_ULTIMA_SESSAO_FISCAL=00:03\n");
    const zunra::test::HostRun till = zunra::test::run_host(dir_.path(), "till_replies", which);
    EXPECT_EQ(till.status, 0);
    EXPECT_EQ(till.err, "");
    return till.out;
  }
  std::string frames() const {
    std::string codes;
    for (const std::string& f : unit_.frames()) codes += f.substr(0, f.find('|', 4)) + " ";
    return codes;
  }
  std::string driver_log() const { return file_text(dir_.path() + "/lib_zunra_dorvex.log"); }

  zunra::test::TempDir dir_;
  zunra::sim::SimUnit unit_;
};

// The unit answers for the session field it got, whatever its length or
// sign; the till has that answer at once, not the fallback at the deadline.
TEST_F(TillReplies, SessionsBeyondSixDigitsGetTheUnitsOwnAnswer) {
  EXPECT_EQ(run("sessions"),
            "ConsultarSAT 1234567|08097|Número de sessão inválido||\n"
            "ConsultarSAT -00005|08097|Número de sessão inválido||\n"
            "EnviarDadosVenda 1234567|06097|0000|Número de sessão inválido|\n"
            "ConsultarNumeroSessao -2147483648|11097|Número de sessão inválido||\n"
            "ConsultarUltimaSessaoFiscal 2147483647|19097|Número de sessão inválido||\n");
  EXPECT_EQ(frames(), "|05|1234567 |05|-00005 |03|1234567 |08|-2147483648 |20|2147483647 ");
}

// The tail of a reply that timed out or whose caller was killed comes in
// before the next call's reply: it is no reply, even when its first
// characters read as the call's session number.
TEST_F(TillReplies, TheLateTailOfAnEarlierReplyIsNeverTheReply) {
  for (const auto& [code, tail] : {std::pair{5, "7QmFzZTY0IGxvZw==|"}, {8, "42QmFzZTY0"}, {20, "QmFzZTY0"}}) {
    Script late;
    late.garbage_before = std::string(tail) + '\x03';
    unit_.on_command(code, late, 1);
  }
  EXPECT_EQ(run("leftover"),
            "ConsultarSAT 000007|08000|SAT em operação||\n"
            "ConsultarNumeroSessao 000005|11003|Sessão não existe||\n"
            "ConsultarUltimaSessaoFiscal 000009|19003|Nenhuma sessão fiscal encontrada||\n");
}

// A text holding 0x03 would end the frame early and have the unit carry
// out what follows (here BloquearSAT, after which every sale answers
// "SAT bloqueado"): nothing is sent and the call gets its fallback reply.
TEST_F(TillReplies, TextsHoldingTheTerminatorAreNeverSent) {
  EXPECT_EQ(run("terminator"),
            "EnviarDadosVenda 000001|06098|0000|SAT em processamento. Tente novamente.|\n"
            "CancelarUltimaVenda 000002|07098|0000|SAT em processamento. Tente novamente.|\n"
            "AtivarSAT 000003|04098|SAT em processamento. Tente novamente.||\n"
            "ConsultarNumeroSessao 000004|11098|SAT em processamento. Tente novamente.||\n"
            "EnviarDadosVenda 000005|06000|0000|Emitido com sucesso + conteúdo notas.|\n");
  EXPECT_EQ(frames(), "|03|000005 ");
  const std::string log = driver_log();
  std::size_t refused = 0;
  for (std::size_t at = 0; (at = log.find(": Argumento com caractere de fim de comando \n", at)) != log.npos;
       ++at)
    ++refused;
  EXPECT_EQ(refused, 4u);
}

}  // namespace
