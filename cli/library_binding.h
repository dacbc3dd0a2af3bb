// The driver library as sat_cli sees it: loaded at run time from the current
// directory and bound function by function, so that sat_cli runs against any
// build of the library without being linked to it.
#pragma once

namespace zunra::cli {

using SessionFn = const char* (*)(int numeroSessao);
using CodeFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao);
using CodeTextFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao, const char* text);
using AtivarFn = const char* (*)(int numeroSessao, int subComando, const char* codigoDeAtivacao,
                                 const char* CNPJ, int cUF);
using VendaFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao, char* dadosVenda);
using CancelarFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao, const char* chave,
                                   const char* dadosCancelamento);
using NumeroSessaoFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao, int cNumeroDeSessao);
using AssociarFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao, const char* CNPJValue,
                                   const char* assinaturaCNPJs);
using TrocarFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao, int opcao,
                                 const char* novoCodigo, const char* confNovoCodigo);
using SetDriverFn = const char* (*)(const char* Parametro, const char* Valor);

struct Library {
  CodeFn ExtrairLogs = nullptr;
  CodeFn AtualizarSoftwareSAT = nullptr;
  CodeFn ConsultarStatusOperacional = nullptr;
  AtivarFn AtivarSAT = nullptr;
  VendaFn EnviarDadosVenda = nullptr;
  CancelarFn CancelarUltimaVenda = nullptr;
  SessionFn ConsultarSAT = nullptr;
  CodeTextFn TesteFimAFim = nullptr;
  NumeroSessaoFn ConsultarNumeroSessao = nullptr;
  CodeFn ConsultarUltimaSessaoFiscal = nullptr;  // optional
  CodeTextFn ConfigurarInterfaceDeRede = nullptr;
  AssociarFn AssociarAssinatura = nullptr;
  CodeFn BloquearSAT = nullptr;
  CodeFn DesbloquearSAT = nullptr;
  TrocarFn TrocarCodigoDeAtivacao = nullptr;
  SetDriverFn SetDriver = nullptr;  // optional
  void* handle = nullptr;           // for the library's exported settings

  bool supports_ultima_sessao_fiscal() const { return ConsultarUltimaSessaoFiscal != nullptr; }
  bool supports_set_driver() const { return SetDriver != nullptr; }
};

// Loads ./libzunra_sat_rpi.so and binds the sixteen functions, writing the
// loader's message for each one it lacks. False when the library does not
// load or lacks a mandatory function. The library stays loaded until exit.
bool bind_library(Library& library);

}  // namespace zunra::cli
