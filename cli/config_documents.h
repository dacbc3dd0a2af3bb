// ./config.ini of the exerciser (sections DEFAULT and REDE) and the two
// request documents built from it: the test sale for TesteFimAFim and the
// network configuration for ConfigurarInterfaceDeRede.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace zunra::cli {

// Section DEFAULT. Values are cut to their buffers, as the unit's limits are.
extern char cLayout[6];
extern char cCNPJContrib[33];
extern char cIEContrib[33];
extern char cCNPJSh[33];
extern char cAssinaturaSH[345];
extern char cUF[3];
extern char cCNPJValue[70];  // CNPJ_SH followed by CNPJ_CONTRIB

// Section REDE.
extern char ctipoInter[5];
extern char ctipoLan[9];
extern char clanIP[16];
extern char clanMask[16];
extern char clanGW[16];
extern char clanDNS1[16];
extern char clanDNS2[16];
extern char cproxy[2];
extern char cproxy_ip[16];
extern char cproxy_porta[6];
extern char cproxy_user[65];
extern char cproxy_senha[65];
extern char cprioridade[2];
extern char prioridade_3g[2];
extern char usuario_3g[65];
extern char senha_3g[65];
extern char phone_3g[26];
extern char APN_3g[65];

// 0 when the section was found (first or second of the file) and read;
// -1 otherwise. le_ini_rede also refuses a bad tipoInter, tipoLan or proxy,
// with its "erro: ..." line.
int le_ini_default();
int le_ini_rede();

// Whether the section is the first or the second of ./config.ini, its name
// compared over the wanted name's length, case included.
bool config_section_found(const char* wanted);

// One line on standard error for each key of section that ./config.ini
// lacks: its default, mostly a blank, goes to the unit in its place.
void warn_missing_keys(const char* section, std::initializer_list<const char*> keys);

// 0 when text has the form ddd.ddd.ddd.ddd (any leading part of it, the
// empty text included), 1 otherwise.
int ValidaIP(const char* text);

// 1 when path is a regular file that opens for reading; a FIFO or a device
// gives 0 without waiting.
int file_existe(const char* path);

// & < > " ' as entities, so that no configuration value can break a document.
std::string xml_escape(std::string_view value);

// "<tag>" escaped value "</tag>" appended to document.
void append_element(std::string& document, const char* tag, const char* value);

// The test sale document from the DEFAULT values.
std::string test_sale_document();

// The declaration and the start tag of the network configuration document.
std::string network_document_start();

}  // namespace zunra::cli
