#include "app/outbox_page.h"

#include <arpa/inet.h>

#include <ctime>

#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "httpd/request.h"
#include "httpd/response_header.h"
#include "mail/mail_encode.h"
#include "mail/outbox_list.h"
#include "mail/outbox_status.h"
#include "store/password_guard.h"

namespace tallypad {

namespace {

constexpr std::string_view kPasswordSetting = "OUTBOXPASSWORD";

// The actions of the page's buttons: the field `action` of a POST.
struct OutboxAction {
  std::string_view name;
  void (*run)(const std::string& server_root);
};

void SendNow(const std::string&) {
  OutboxSendNow();
  StatusLogAppend("\nOutbox: sending asked for on the outbox page");
}

void RetryDead(const std::string& server_root) {
  std::optional<size_t> moved = OutboxRetryDead(server_root);
  OutboxSendNow();
  StatusLogAppend(moved ? StrPrintf("\nOutbox: %zu dead letter(s) moved back into the queue", *moved)
                        : std::string("\nOutbox: the dead letters could not be moved"));
}

constexpr OutboxAction kActions[] = {
    {"send", SendNow},
    {"retry", RetryDead},
};

// Compares without letting the time taken tell how much of a guess was right.
bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) differ |= a[i] ^ (i < b.size() ? b[i] : 0);
  return differ == 0;
}

// The password of a "Basic" Authorization header (any user name).
std::optional<std::string> BasicPassword(std::string_view request) {
  std::optional<std::string_view> header = HeaderValue(request, "Authorization");
  if (!header || !StrStartsNoCase(*header, "Basic ")) return std::nullopt;
  std::optional<std::string> decoded = Base64Decode(header->substr(6));
  if (!decoded) return std::nullopt;
  size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return decoded->substr(colon + 1);
}

std::string LocalTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return StrPrintf("%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                   local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

void WriteRefusal(OutputStream* out, std::string_view status, std::string_view extra,
                  std::string_view text) {
  WriteStatusHeader(out, status, extra);
  StreamWriteText(out, "<!DOCTYPE html>\n<title>Outbox</title>\n<p>");
  StreamWriteHtml(out, text);
  StreamWriteText(out, "</p>\n");
}

void WriteEntries(OutputStream* out, const std::vector<OutboxEntry>& entries, bool dead,
                  std::time_t now) {
  StreamWriteText(out, dead ? "<table>\n<tr><th>To</th><th>Subject</th><th>Age</th>"
                              "<th>Server</th><th>Reply</th></tr>\n"
                            : "<table>\n<tr><th>To</th><th>Subject</th><th>Age</th>"
                              "<th>Server</th><th>Attempts</th><th>Last reply</th></tr>\n");
  for (const OutboxEntry& e : entries) {
    StreamWriteText(out, "<tr><td>");
    StreamWriteHtml(out, e.recipient);
    StreamWriteText(out, "</td><td>");
    StreamWriteHtml(out, e.subject);
    StreamWriteText(out, "</td><td>");
    StreamWriteHtml(out, e.date ? OutboxAgeText(now - *e.date) : "?");
    StreamWriteText(out, "</td><td>");
    StreamWriteHtml(out, e.server);
    if (!dead) StreamWriteText(out, "</td><td>" + std::to_string(e.attempts));
    StreamWriteText(out, "</td><td>");
    StreamWriteHtml(out, e.last_reply.empty() ? "-" : e.last_reply);
    StreamWriteText(out, "</td></tr>\n");
  }
  StreamWriteText(out, "</table>\n");
}

void WritePage(OutputStream* out, const std::string& server_root) {
  const OutboxListing listing = OutboxList(server_root);
  const OutboxStatus status = OutboxStatusNow();
  const std::time_t now = std::time(nullptr);
  WriteResponseHeader(out);
  StreamWriteText(out,
                  "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Outbox</title>\n"
                  "<style>body{font-family:sans-serif}table{border-collapse:collapse}"
                  "td,th{border:1px solid #999;padding:2px 6px;text-align:left}</style>\n"
                  "</head><body>\n<h1>Outbox</h1>\n<p>");
  StreamWriteText(out, StrPrintf("%zu mail(s) waiting, %zu dead letter(s).", listing.queued_total,
                                 listing.dead_total));
  StreamWriteText(out, "</p>\n<p>Last mail sent: ");
  const std::optional<std::time_t> last = status.last_success ? status.last_success
                                                              : listing.last_success;
  StreamWriteHtml(out, last ? LocalTime(*last) : std::string("none recorded"));
  StreamWriteText(out, "<br>Next attempt: ");
  std::string next;
  if (listing.queued_total == 0) {
    next = "when a mail is queued";
  } else if (status.sending) {
    next = "sending now";
  } else if (!status.online) {
    next = "when this computer is on a network";
  } else if (status.next_attempt) {
    next = LocalTime(*status.next_attempt);
  } else {
    next = "within a few seconds";
  }
  StreamWriteHtml(out, next);
  if (!status.last_problem.empty() && listing.queued_total > 0) {
    StreamWriteText(out, "<br>Last problem: ");
    StreamWriteHtml(out, status.last_problem);
  }
  StreamWriteText(out,
                  "</p>\n<form method=\"post\" action=\"/outbox\">"
                  "<button name=\"action\" value=\"send\">Send now</button>");
  if (listing.dead_total > 0)
    StreamWriteText(out, " <button name=\"action\" value=\"retry\">Retry the dead letters</button>");
  StreamWriteText(out, "</form>\n<h2>Waiting</h2>\n");
  if (!listing.queued.empty()) WriteEntries(out, listing.queued, false, now);
  if (listing.queued_total > listing.queued.size())
    StreamWriteText(out, StrPrintf("<p>... and %zu more</p>\n",
                                   listing.queued_total - listing.queued.size()));
  if (listing.damaged)
    StreamWriteText(out, "<p>outbox.kqs is damaged after these mails: the rest cannot be read.</p>\n");
  StreamWriteText(out, "<h2>Dead letters</h2>\n");
  if (!listing.dead.empty()) WriteEntries(out, listing.dead, true, now);
  if (listing.dead_total > listing.dead.size())
    StreamWriteText(out, StrPrintf("<p>... and %zu more</p>\n",
                                   listing.dead_total - listing.dead.size()));
  StreamWriteText(out, "</body></html>\n");
}

// True when a POST comes from this page: a browser names the page's origin
// in an Origin header, and a form of another site posting here names its own.
bool SameOrigin(std::string_view request) {
  std::optional<std::string_view> origin = HeaderValue(request, "Origin");
  if (!origin) return true;
  std::optional<std::string_view> host = HeaderValue(request, "Host");
  return host && (*origin == "http://" + std::string(*host));
}

}  // namespace

bool OutboxPageLocalClient(const RequestInfo& info) {
  if ((info.client_address >> 24) != 127) return false;
  if (!info.host_header) return true;
  std::string_view host = *info.host_header;
  host = host.substr(0, host.find(':'));
  if (StrEqualNoCase(host, "localhost")) return true;
  in_addr address{};
  return inet_pton(AF_INET, std::string(host).c_str(), &address) == 1 &&
         (ntohl(address.s_addr) >> 24) == 127;
}

void ServeOutboxPage(OutputStream* out, const std::string& server_root, std::string_view request,
                     const VarTable* vars, const VarTable* settings, const RequestInfo& info) {
  const std::string password = VarTableGet(settings, kPasswordSetting);
  if (password.empty()) {
    if (!OutboxPageLocalClient(info)) {
      WriteRefusal(out, "403 Forbidden", {},
                   "The outbox is shown only on this computer itself, or with the password "
                   "that OUTBOXPASSWORD in cgi.ini sets.");
      return;
    }
  } else {
    PasswordGuard& guard = ProcessPasswordGuard();
    if (long wait = guard.RefusedFor(info.client_address); wait > 0) {
      WriteTooManyRequests(out, wait, PasswordRefusalPage(wait));
      return;
    }
    std::optional<std::string> given = BasicPassword(request);
    const bool right = given && SameSecret(*given, password);
    if (given) guard.Record(info.client_address, 1, right ? 0 : 1);
    if (!right) {
      WriteRefusal(out, "401 Unauthorized",
                   "WWW-Authenticate: Basic realm=\"" + std::string(kOutboxRealm) + "\"\r\n",
                   "The outbox needs its password.");
      return;
    }
  }
  if (StrStartsNoCase(request, "POST ")) {
    if (!SameOrigin(request)) {
      WriteRefusal(out, "403 Forbidden", {}, "The outbox takes its buttons from its own page only.");
      return;
    }
    const std::string action = VarTableGet(vars, "action");
    for (const OutboxAction& row : kActions)
      if (action == row.name) row.run(server_root);
    // Back to the page, so that reloading it does not press the button again.
    WriteResponseHeader(out, "Location: /outbox\n\n");
    return;
  }
  WritePage(out, server_root);
}

}  // namespace tallypad
