#include "config_documents.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini_file.h"

namespace zunra::cli {

char cLayout[6];
char cCNPJContrib[33];
char cIEContrib[33];
char cCNPJSh[33];
char cAssinaturaSH[345];
char cUF[3];
char cCNPJValue[70];

char ctipoInter[5];
char ctipoLan[9];
char clanIP[16];
char clanMask[16];
char clanGW[16];
char clanDNS1[16];
char clanDNS2[16];
char cproxy[2];
char cproxy_ip[16];
char cproxy_porta[6];
char cproxy_user[65];
char cproxy_senha[65];
char cprioridade[2];
char prioridade_3g[2];
char usuario_3g[65];
char senha_3g[65];
char phone_3g[26];
char APN_3g[65];

namespace {

constexpr char kConfigFile[] = "./config.ini";
constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

struct KeySlot {
  const char* key;
  char* buffer;
  int size;
  const char* default_value;
};

template <std::size_t N>
constexpr KeySlot slot(const char* key, char (&buffer)[N], const char* default_value) {
  return {key, buffer, static_cast<int>(N), default_value};
}

void read_key(const char* section, const KeySlot& s) {
  ini_gets(section, s.key, s.default_value, s.buffer, s.size, kConfigFile);
}

bool find_section(const char* wanted) {
  return config_section_found(wanted) && file_existe(kConfigFile) == 1;
}

// Absent, ini_gets gives each call its own default; present, both the same value.
bool has_key(const char* section, const char* key) {
  char with_empty[2], with_mark[2];
  ini_gets(section, key, "", with_empty, sizeof with_empty, kConfigFile);
  ini_gets(section, key, "?", with_mark, sizeof with_mark, kConfigFile);
  return with_empty[0] != '\0' || with_mark[0] != '?';
}

bool starts_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

bool config_section_found(const char* wanted) {
  const std::size_t length = strlen(wanted);
  for (int index = 0; index < 2; ++index) {
    char name[10];
    if (ini_getsection(index, name, sizeof name, kConfigFile) > 0 && strncmp(name, wanted, length) == 0) {
      return true;
    }
  }
  return false;
}

void warn_missing_keys(const char* section, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (!has_key(section, key)) fprintf(stderr, "config.ini sem a chave %s na secao [%s]\n", key, section);
  }
}

int le_ini_default() {
  if (!find_section("DEFAULT")) return -1;
  const KeySlot keys[] = {
      slot("LAYOUT", cLayout, "0.06"),           slot("CNPJ_CONTRIB", cCNPJContrib, " "),
      slot("IE_CONTRIB", cIEContrib, " "),       slot("CNPJ_SH", cCNPJSh, " "),
      slot("ASSINATURA_SH", cAssinaturaSH, " "), slot("UF", cUF, " "),
  };
  for (const KeySlot& k : keys) read_key("DEFAULT", k);
  snprintf(cCNPJValue, sizeof cCNPJValue, "%s%s", cCNPJSh, cCNPJContrib);
  return 0;
}

int le_ini_rede() {
  if (!find_section("REDE")) return -1;

  read_key("REDE", slot("tipoInter", ctipoInter, " "));
  if (!starts_with(ctipoInter, "ETHE")) {
    puts("erro: tipoInter");
    return -1;
  }
  read_key("REDE", slot("tipoLan", ctipoLan, " "));
  if (!starts_with(ctipoLan, "DHCP") && !starts_with(ctipoLan, "IPFIX")) {
    puts("erro: tipoLan");
    return -1;
  }
  const KeySlot addresses[] = {
      slot("lanIP", clanIP, ""),     slot("lanMask", clanMask, ""), slot("lanGW", clanGW, ""),
      slot("lanDNS1", clanDNS1, ""), slot("lanDNS2", clanDNS2, ""), slot("proxy", cproxy, ""),
  };
  for (const KeySlot& k : addresses) read_key("REDE", k);
  const int proxy = atoi(cproxy);
  if (proxy < 0 || proxy > 2) {
    puts("erro: proxy");
    return -1;
  }
  const KeySlot rest[] = {
      slot("proxy_ip", cproxy_ip, ""),      slot("proxy_porta", cproxy_porta, ""),
      slot("proxy_user", cproxy_user, ""),  slot("proxy_senha", cproxy_senha, ""),
      slot("prioridade", cprioridade, "0"), slot("prioridade_3g", prioridade_3g, ""),
      slot("usuario_3g", usuario_3g, ""),   slot("senha_3g", senha_3g, ""),
      slot("phone_3g", phone_3g, ""),       slot("APN_3g", APN_3g, ""),
  };
  for (const KeySlot& k : rest) read_key("REDE", k);
  return 0;
}

int ValidaIP(const char* text) {
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    const bool dot_position = i == 3 || i == 7 || i == 11;
    const bool ok = dot_position ? text[i] == '.' : (text[i] >= '0' && text[i] <= '9');
    if (!ok) return 1;
  }
  return 0;
}

int file_existe(const char* path) {
  return ini_readable_file(path) ? 1 : 0;
}

std::string xml_escape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void append_element(std::string& document, const char* tag, const char* value) {
  document.append("<").append(tag).append(">");
  document += xml_escape(value);
  document.append("</").append(tag).append(">");
}

std::string test_sale_document() {
  std::string d = kDeclaration;
  d += "<CFe><infCFe versaoDadosEnt=\"" + xml_escape(cLayout) + "\">";
  d += "<ide>";
  append_element(d, "CNPJ", cCNPJSh);
  append_element(d, "signAC", cAssinaturaSH);
  d += "<numeroCaixa>099</numeroCaixa></ide><emit>";
  append_element(d, "CNPJ", cCNPJContrib);
  append_element(d, "IE", cIEContrib);
  d += "<cRegTribISSQN>1</cRegTribISSQN><indRatISSQN>N</indRatISSQN></emit>"
       "<dest><CNPJ>48291735000148</CNPJ></dest>"
       "<det nItem=\"1\"><prod><cProd>001</cProd><xProd>MiniPc</xProd><CFOP>5001</CFOP><uCom>UN</uCom>"
       "<qCom>1.0000</qCom><vUnCom>654.320</vUnCom><indRegra>A</indRegra></prod>"
       "<imposto><vItem12741>1.00</vItem12741>"
       "<ICMS><ICMS00><Orig>0</Orig><CST>00</CST><pICMS>12.00</pICMS></ICMS00></ICMS>"
       "<PIS><PISAliq><CST>01</CST><vBC>654.32</vBC><pPIS>0.0600</pPIS></PISAliq></PIS>"
       "<COFINS><COFINSAliq><CST>01</CST><vBC>654.32</vBC><pCOFINS>0.0400</pCOFINS></COFINSAliq></COFINS>"
       "</imposto></det>"
       "<total><vCFeLei12741>1.00</vCFeLei12741></total>"
       "<pgto><MP><cMP>01</cMP><vMP>2000.00</vMP></MP></pgto>"
       "</infCFe></CFe>";
  return d;
}

std::string network_document_start() {
  return std::string(kDeclaration) + "<config>";
}

}  // namespace zunra::cli
