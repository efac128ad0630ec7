#include "mail/mail_account.h"

#include "base/str.h"
#include "base/vartable.h"
#include "platform/profile.h"

namespace tallypad {

namespace {

constexpr std::string_view kServerSettingsFile = "cgi.ini";

struct TlsRow {
  std::string_view word;
  MailTls tls;
};

constexpr TlsRow kTlsWords[] = {
    {"auto", MailTls::kAuto},
    {"required", MailTls::kRequired},
    {"implicit", MailTls::kImplicit},
    {"off", MailTls::kOff},
};

}  // namespace

std::optional<MailServerAddress> MailServerParse(std::string_view text) {
  MailServerAddress server;
  size_t colon = text.find(':');
  server.host = std::string(text.substr(0, colon));
  if (server.host.empty()) return std::nullopt;
  if (colon != std::string_view::npos) {
    std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) return std::nullopt;
    int value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return std::nullopt;
    server.port = value;
  }
  return server;
}

std::optional<MailTls> MailTlsFromSetting(std::string_view setting) {
  if (setting.empty()) return MailTls::kAuto;
  for (const TlsRow& row : kTlsWords)
    if (StrEqualNoCase(setting, row.word)) return row.tls;
  return std::nullopt;
}

std::string_view MailTlsName(MailTls tls) {
  for (const TlsRow& row : kTlsWords)
    if (row.tls == tls) return row.word;
  return "auto";
}

MailAccount MailAccountFor(const std::string& server_root, const MailServerAddress& server,
                           std::string* problem) {
  MailAccount account;
  account.tls = server.port == kSmtpsPort ? MailTls::kImplicit : MailTls::kAuto;
  const std::string full = "mail " + server.host + ":" + std::to_string(server.port);
  const std::string short_name = server.port == kSmtpPort ? "mail " + server.host : full;
  std::vector<VarTablePtr> sections =
      IniLoadSections(PathBuild(server_root, kServerSettingsFile), {full, short_name}, 0);
  const VarTable* section = nullptr;
  for (const VarTablePtr& s : sections)
    if (!section && s) section = s.get();
  if (!section) return account;
  account.user = VarTableGet(section, "USER");
  account.password = VarTableGet(section, "PASSWORD");
  const std::string tls = VarTableGet(section, "TLS");
  if (std::optional<MailTls> mode = MailTlsFromSetting(tls)) {
    if (!tls.empty()) account.tls = *mode;
  } else {
    account.tls = MailTls::kRequired;
    if (problem) *problem = "TLS=" + tls + " is no TLS mode (auto, required, implicit, off)";
  }
  std::string ca = VarTableGet(section, "CAFILE");
  if (!ca.empty()) account.ca_file = ca.front() == '/' ? ca : PathBuild(server_root, ca);
  return account;
}

}  // namespace tallypad
