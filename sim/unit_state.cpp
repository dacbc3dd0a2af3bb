#include "unit_state.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

#include "sim_unit.h"

namespace zunra::sim {
namespace {

constexpr char kBusyMessage[] = "SAT em processamento. Tente novamente.";

// Fixed identity of the simulated unit and its taxpayer.
constexpr char kSerial[] = "900001234";
constexpr char kIssuerCnpj[] = "11111111000191";
constexpr char kStateCode[] = "35";

std::string now_text(const char* format) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char out[32];
  std::strftime(out, sizeof out, format, &tm);
  return out;
}

// The first n-1 fields end at a bar; the last takes the rest, bars included
// (documents may hold them).
std::vector<std::string> split_fields(const std::string& rest, std::size_t n) {
  std::vector<std::string> fields;
  std::size_t pos = 0;
  while (fields.size() + 1 < n) {
    std::size_t bar = rest.find('|', pos);
    if (bar == std::string::npos) break;
    fields.push_back(rest.substr(pos, bar - pos));
    pos = bar + 1;
  }
  if (pos <= rest.size() && n > 0) fields.push_back(rest.substr(pos));
  fields.resize(n);
  return fields;
}

// The text between <tag> (or <tag attr...>) and </tag>, "" when absent.
std::string element(const std::string& xml, const std::string& tag) {
  std::size_t open = xml.find("<" + tag);
  while (open != std::string::npos) {
    std::size_t after = open + 1 + tag.size();
    if (after < xml.size() && (xml[after] == '>' || xml[after] == ' ')) break;
    open = xml.find("<" + tag, after);
  }
  if (open == std::string::npos) return "";
  std::size_t start = xml.find('>', open);
  std::size_t end = xml.find("</" + tag + ">", open);
  if (start == std::string::npos || end == std::string::npos || end < start) return "";
  return xml.substr(start + 1, end - start - 1);
}

// Replies never carry a bar inside a field.
std::string clean(std::string s) {
  for (char& c : s)
    if (c == '|' || c == '\x03') c = ' ';
  return s;
}

std::string prefix_of(int code) {
  char p[16];
  std::snprintf(p, sizeof p, "%02d", code == 20 ? 19 : code + 3);
  return p;
}

bool fiscal(int code) {
  return code == 3 || code == 4;
}

// Std5: sessao|EEEEE|mensagem|cod|mensagemSEFAZ. Sales and cancellations
// carry their alert code CCCC after EEEEE.
std::string std5(const Frame& f, const std::string& suffix, const std::string& message) {
  std::string r = f.session_text + "|" + prefix_of(f.code) + suffix + "|";
  if (fiscal(f.code)) r += "0000|";
  return r + message + "||";
}

// Per command code: the SAT function, the fields after the session (the
// last one takes the rest, bars included) and the message of success.
struct Command {
  const char* name;
  std::size_t fields;
  const char* success;
};
const Command kCommands[21] = {
    {nullptr, 0, nullptr},
    {"AtivarSAT", 4, "Ativado corretamente"},
    {"ComunicarCertificadoICPBRASIL", 2, "Certificado transmitido com sucesso"},
    {"EnviarDadosVenda", 2, "Emitido com sucesso + conteúdo notas."},
    {"CancelarUltimaVenda", 3, "Cupom cancelado com sucesso + conteúdo CF-e-SAT cancelado."},
    {"ConsultarSAT", 0, "SAT em operação"},
    {"TesteFimAFim", 2, "Emitido com sucesso"},
    {"ConsultarStatusOperacional", 1, "Resposta com Sucesso."},
    {"ConsultarNumeroSessao", 2, nullptr},
    {"ConfigurarInterfaceDeRede", 2, "Rede Configurada com Sucesso"},
    {"AssociarAssinatura", 3, "Assinatura do AC Registrada"},
    {"AtualizarSoftwareSAT", 1, "Software Atualizado com Sucesso"},
    {"ExtrairLogs", 2, "Transferência completa"},
    {"BloquearSAT", 1, "Equipamento SAT bloqueado com sucesso."},
    {"DesbloquearSAT", 1, "Equipamento SAT desbloqueado com sucesso."},
    {"TrocarCodigoDeAtivacao", 4, "Código de ativação alterado com sucesso."},
    {nullptr, 0, nullptr},
    {nullptr, 0, nullptr},
    {nullptr, 0, nullptr},
    {nullptr, 0, nullptr},
    {"ConsultarUltimaSessaoFiscal", 1, nullptr},
};

std::string success(const Frame& f) {
  return std5(f, "000", kCommands[f.code].success);
}

}  // namespace

const char* command_name(int code) {
  return code >= 0 && code < 21 ? kCommands[code].name : nullptr;
}

int command_code(const std::string& name) {
  for (int code = 0; code < 21; ++code) {
    if (kCommands[code].name && name == kCommands[code].name) return code;
  }
  return -1;
}

Frame parse_frame(const std::string& text) {
  Frame f;
  if (text.size() < 5 || text[0] != '|' || text[3] != '|') return f;
  if (!std::isdigit(static_cast<unsigned char>(text[1])) ||
      !std::isdigit(static_cast<unsigned char>(text[2])))
    return f;
  f.code = (text[1] - '0') * 10 + (text[2] - '0');
  std::size_t bar = text.find('|', 4);
  f.session_text = text.substr(4, bar == std::string::npos ? std::string::npos : bar - 4);
  if (bar != std::string::npos) f.rest = text.substr(bar + 1);
  bool six_digits = f.session_text.size() == 6;
  for (char c : f.session_text) six_digits = six_digits && std::isdigit(static_cast<unsigned char>(c));
  if (six_digits) f.session = std::stoi(f.session_text);
  return f;
}

std::string busy_code(int code) {
  return prefix_of(code) + "098";
}

std::string busy_reply(const Frame& f) {
  return std5(f, "098", kBusyMessage);
}

int access_key_check_digit(const std::string& digits43) {
  int sum = 0, weight = 2;
  for (auto it = digits43.rbegin(); it != digits43.rend(); ++it) {
    sum += (*it - '0') * weight;
    weight = weight == 9 ? 2 : weight + 1;
  }
  int digit = 11 - sum % 11;
  return digit >= 10 ? 0 : digit;
}

UnitState::UnitState(Config c) : config_(std::move(c)) {}

std::string UnitState::stored_reply(int session) const {
  for (const auto& s : sessions_)
    if (s.first == session) return s.second;
  return "";
}

void UnitState::store(int session, const std::string& reply) {
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
    if (it->first == session) {
      sessions_bytes_ -= it->second.size();
      sessions_.erase(it);
      break;
    }
  sessions_.emplace_back(session, reply);
  sessions_bytes_ += reply.size();
  // The newest reply stays even when it alone is over the budget: a sale
  // whose reply was lost must still be found by the query that follows.
  while (sessions_.size() > 1 &&
         (sessions_.size() > kStoredSessions || sessions_bytes_ > config_.stored_bytes)) {
    sessions_bytes_ -= sessions_.front().second.size();
    sessions_.pop_front();
  }
}

std::string UnitState::new_key() {
  char digits[96];
  std::snprintf(digits, sizeof digits, "%s%s%s59%s%06d%06d", kStateCode, now_text("%y%m").c_str(),
                kIssuerCnpj, kSerial, next_document_ % 1000000, (next_document_ * 7919) % 1000000);
  std::string key(digits);
  key += static_cast<char>('0' + access_key_check_digit(key));
  return key;
}

std::string UnitState::process(const Frame& f) {
  if (f.code < 0) return "";
  std::string reply;
  const bool known = (f.code >= 1 && f.code <= 15) || f.code == 20;
  if (!known) {
    reply = f.session_text + "|" + prefix_of(f.code) + "099|Erro desconhecido||";
  } else if (f.session < 0) {
    reply = std5(f, "097", "Número de sessão inválido");
  } else if (f.code == 5) {
    reply = success(f);
  } else {
    std::vector<std::string> v = split_fields(f.rest, kCommands[f.code].fields);
    const std::string& code = v[f.code == 1 ? 1 : 0];
    if (f.code == 1) {
      reply = activate(f, code);
    } else if (f.code == 15 && v[1] == "2") {
      // Option 2 changes the code with the emergency code, which this unit does not check.
      reply = change_code(f, v[1], code, v[2], v[3]);
    } else if (!config_.activated) {
      reply = std5(f, "002", "SAT ainda não ativado");
    } else if (code != config_.activation_code) {
      reply = std5(f, "001", "Código de ativação inválido");
    } else if (blocked_ && (f.code == 3 || f.code == 4 || f.code == 6)) {
      reply = std5(f, "004", "SAT bloqueado pelo contribuinte");
    } else if (f.code == 3 || f.code == 6) {
      reply = sale(f, v[1], f.code == 6);
    } else if (f.code == 4) {
      reply = cancel(f, v[1], v[2]);
    } else if (f.code == 7) {
      reply = status(f);
    } else if (f.code == 8) {
      // The stored reply verbatim, whoever asks: the driver's recovery asks
      // with the same session number it is recovering.
      const Frame asked = parse_frame("|00|" + v[1]);
      const std::string stored = asked.session >= 0 ? stored_reply(asked.session) : "";
      reply = stored.empty() ? std5(f, "003", "Sessão não existe") : stored;
    } else if (f.code == 12) {
      reply = logs(f);
    } else if (f.code == 15) {
      reply = change_code(f, v[1], code, v[2], v[3]);
    } else if (f.code == 20) {
      reply = last_fiscal_reply_.empty() ? std5(f, "003", "Nenhuma sessão fiscal encontrada")
                                         : last_fiscal_reply_;
    } else {
      if (f.code == 13 || f.code == 14) blocked_ = f.code == 13;
      reply = success(f);
    }
  }
  // The two queries read sessions; storing their own answers would hide the
  // session they asked about when it carries the same number.
  if (f.code != 8 && f.code != 20 && f.session >= 0) store(f.session, reply);
  if (fiscal(f.code)) last_fiscal_reply_ = reply;
  return reply;
}

std::string UnitState::activate(const Frame& f, const std::string& code) {
  if (config_.activated)
    return code == config_.activation_code ? std5(f, "003", "SAT já ativado")
                                           : std5(f, "001", "Código de ativação inválido");
  if (code.empty()) return std5(f, "001", "Código de ativação inválido");
  config_.activated = true;
  config_.activation_code = code;
  std::string csr = "-----BEGIN CERTIFICATE REQUEST-----\nMIIBzunraSAT" + std::string(kSerial) +
                    "\n-----END CERTIFICATE REQUEST-----\n";
  return success(f) + "|" + base64_encode(csr);
}

std::string UnitState::change_code(const Frame& f, const std::string& opcao, const std::string& code,
                                   const std::string& fresh, const std::string& confirmation) {
  if (opcao != "1" && opcao != "2") return std5(f, "099", "Opção inválida");
  if (opcao == "1" && code != config_.activation_code) return std5(f, "001", "Código de ativação inválido");
  if (fresh.empty() || fresh != confirmation)
    return std5(f, "006", "Código de ativação novo e confirmação não conferem");
  config_.activation_code = fresh;
  return success(f);
}

std::string UnitState::sale(const Frame& f, const std::string& document, bool test_only) {
  const std::size_t open = document.find("<CFe");
  const std::size_t close = document.find("</CFe>");
  if (open == std::string::npos || close == std::string::npos || close < open)
    return std5(f, "009", "Erro na validação do conteúdo do CF-e-SAT");
  std::string total = clean(element(document, "vCFe"));
  if (total.empty()) total = "0.00";
  const std::string buyer =
      clean(element(element(document, "dest"), "CPF").empty() ? element(element(document, "dest"), "CNPJ")
                                                              : element(element(document, "dest"), "CPF"));
  const std::string key = new_key();
  const std::string stamp = now_text("%Y%m%d%H%M%S");
  char number[24];
  std::snprintf(number, sizeof number, "%06d", next_document_ % 1000000);
  ++next_document_;
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFe><infCFe Id=\"CFe" + key +
                          "\" versao=\"0.08\"><ide><cUF>35</cUF><nserieSAT>" + kSerial +
                          "</nserieSAT><nCFe>" + number + "</nCFe><dEmi>" + stamp.substr(0, 8) +
                          "</dEmi><hEmi>" + stamp.substr(8) + "</hEmi></ide><emit><CNPJ>" + kIssuerCnpj +
                          "</CNPJ></emit><total><vCFe>" + total + "</vCFe></total></infCFe></CFe>";
  const std::string signature = base64_encode("QRCODE:" + key + ":" + stamp + ":" + total);
  if (test_only) return success(f) + "|" + base64_encode(xml) + "|" + stamp + "|" + number + "|CFe" + key;
  ++receipts_issued_;
  last_sale_key_ = key;
  last_sale_total_ = total;
  last_sale_cancelled_ = false;
  return success(f) + "|" + base64_encode(xml) + "|" + stamp + "|CFe" + key + "|" + total + "|" + buyer +
         "|" + signature;
}

std::string UnitState::cancel(const Frame& f, const std::string& key, const std::string&) {
  if (last_sale_key_.empty() || last_sale_cancelled_) return std5(f, "006", "Não há CF-e-SAT a cancelar");
  if (key != "CFe" + last_sale_key_)
    return std5(f, "007", "Chave de acesso não corresponde ao último CF-e-SAT emitido");
  const std::string fresh = new_key();
  const std::string stamp = now_text("%Y%m%d%H%M%S");
  ++next_document_;
  last_sale_cancelled_ = true;
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFeCanc><infCFe Id=\"CFe" + fresh +
                          "\" chCanc=\"CFe" + last_sale_key_ + "\" versao=\"0.08\"><ide><dEmi>" +
                          stamp.substr(0, 8) + "</dEmi><hEmi>" + stamp.substr(8) +
                          "</hEmi></ide><total><vCFe>" + last_sale_total_ +
                          "</vCFe></total></infCFe></CFeCanc>";
  std::string reply =
      success(f) + "|" + base64_encode(xml) + "|" + stamp + "|CFe" + fresh + "|" + last_sale_total_;
  // Some units leave out the buyer's registration in this reply.
  if (!config_.short_cancel_reply) reply += "|";
  return reply + "|" + base64_encode("QRCODE:" + fresh + ":" + stamp);
}

std::string UnitState::status(const Frame& f) {
  const std::string now = now_text("%Y%m%d%H%M%S");
  char last[64];
  std::snprintf(last, sizeof last, "%s", last_sale_key_.empty() ? "0" : last_sale_key_.c_str());
  const std::vector<std::string> fields = {kSerial,
                                           "DHCP",
                                           "192.168.0.20",
                                           "00:1A:2B:3C:4D:5E",
                                           "255.255.255.0",
                                           "192.168.0.1",
                                           "8.8.8.8",
                                           "8.8.4.4",
                                           "CONECTADO",
                                           "ALTO",
                                           "4 GB",
                                           "120 MB",
                                           now,
                                           "01.05.00",
                                           "0.08",
                                           last,
                                           "000001",
                                           "000001",
                                           now,
                                           now,
                                           "20240101",
                                           "20290101",
                                           blocked_ ? "1" : "0"};
  std::string reply = success(f);
  for (const auto& field : fields) reply += "|" + field;
  return reply;
}

std::size_t UnitState::log_reply_head_bytes() {
  Frame f;
  f.code = 12;
  f.session_text = "000000";
  return success(f).size() + 1;
}

std::string UnitState::logs(const Frame& f) {
  static const char* const kLines[][3] = {
      {"SAT", "info", "Equipamento iniciado"},
      {"SEFAZ", "info", "Comunicacao com a SEFAZ estabelecida"},
      {"AC", "aviso", "Certificado valido"},
      {"SAT", "info", "CF-e-SAT emitido e armazenado"},
  };
  const std::size_t n = config_.log_bytes;
  const std::string stamp = now_text("%Y%m%d%H%M%S");
  std::string log;
  log.reserve(n + 128);
  for (std::size_t i = 0; log.size() < n; ++i) {
    const auto& l = kLines[i % 4];
    log += stamp + "|" + l[0] + "|" + l[1] + "|" + l[2] + "\n";
  }
  // Exactly n bytes, still ending in a whole line when n allows.
  if (log.size() > n) {
    log.resize(n);
    if (n > 0) log.back() = '\n';
  }
  return success(f) + "|" + base64_encode(log);
}

std::string base64_encode(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool base64_decode(const std::string& text, std::string& out) {
  out.clear();
  unsigned acc = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      return false;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return true;
}

}  // namespace zunra::sim
