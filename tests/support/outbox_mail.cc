#include "support/outbox_mail.h"

#include "base/str.h"
#include "mail/mail_encode.h"

namespace tallypad::testing {

namespace {

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(at, end - at));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    at = end + 1;
  }
  return lines;
}

// The address between the angle brackets of "MAIL FROM: <a>".
std::string Address(std::string_view rest) {
  size_t open = rest.find('<');
  size_t close = rest.rfind('>');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    return std::string(rest);
  return std::string(rest.substr(open + 1, close - open - 1));
}

}  // namespace

std::string QueuedMail::Header(std::string_view name) const {
  for (const std::string& line : header)
    if (line.size() > name.size() && line[name.size()] == ':' &&
        StrEqualNoCase(std::string_view(line).substr(0, name.size()), name)) {
      std::string_view value = std::string_view(line).substr(name.size() + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
  return "";
}

std::vector<QueuedMail> ReadQueuedMails(std::string_view outbox) {
  std::vector<QueuedMail> mails;
  while (outbox.compare(0, 5, "OPEN ") == 0) {
    QueuedMail mail;
    size_t end = outbox.find('\n');
    mail.server = std::string(outbox.substr(5, end - 5));
    size_t length_at = outbox.find("Content-Length: ");
    size_t blank = outbox.find("\n\n");
    if (end == std::string_view::npos || length_at == std::string_view::npos ||
        blank == std::string_view::npos)
      break;
    size_t length = std::stoul(std::string(outbox.substr(length_at + 16)));
    std::string_view dialogue = outbox.substr(blank + 2, length);
    outbox.remove_prefix(std::min(outbox.size(), blank + 2 + length));

    size_t data = dialogue.find("DATA\r\n");
    for (const std::string& line : Lines(dialogue.substr(0, data))) {
      if (StrStartsNoCase(line, "MAIL FROM:")) mail.mail_from = Address(line.substr(10));
      if (StrStartsNoCase(line, "RCPT TO:")) mail.rcpt_to.push_back(Address(line.substr(8)));
    }
    std::string_view message = data == std::string_view::npos ? "" : dialogue.substr(data + 6);
    size_t message_end = message.rfind("\r\n.\r\n");
    message = message.substr(0, message_end == std::string_view::npos ? 0 : message_end + 2);
    size_t body_at = message.find("\r\n\r\n");
    for (const std::string& line : Lines(message.substr(0, body_at))) {
      if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !mail.header.empty()) {
        mail.header.back() += line;
      } else {
        mail.header.push_back(line);
      }
    }
    std::string body;
    if (body_at != std::string_view::npos) {
      for (const std::string& line : Lines(message.substr(body_at + 4)))
        body += (line.compare(0, 2, "..") == 0 ? line.substr(1) : line) + "\r\n";
    }
    mail.body = StrEqualNoCase(mail.Header("Content-Transfer-Encoding"), "quoted-printable")
                    ? QuotedPrintableDecode(body)
                    : body;
    mails.push_back(std::move(mail));
  }
  return mails;
}

std::string DescribeQueuedMails(std::string_view outbox) {
  std::string out;
  for (const QueuedMail& mail : ReadQueuedMails(outbox)) {
    out += "OPEN " + mail.server + "\nFROM " + mail.mail_from + "\n";
    for (const std::string& to : mail.rcpt_to) out += "TO " + to + "\n";
    out += "Subject: " + HeaderTextDecode(mail.Header("Subject")) + "\n" + mail.body + "--\n";
  }
  return out;
}

}  // namespace tallypad::testing
