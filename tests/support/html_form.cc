#include "support/html_form.h"

#include <cctype>
#include <regex>

#include "base/decode.h"

namespace tallypad::testing {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string DecodeEntities(std::string text) {
  static const std::pair<std::string_view, std::string_view> kEntities[] = {
      {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, plain] : kEntities) {
      if (text.compare(i, entity.size(), entity) == 0) {
        out += plain;
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

}  // namespace

FormFields HtmlInputs(std::string_view html) {
  static const std::regex kTag("<input\\b([^>]*)>", std::regex::icase);
  static const std::regex kAttr("([A-Za-z_-]+)\\s*=\\s*(\"([^\"]*)\"|([^\\s>\"]+))");
  FormFields fields;
  const std::string text(html);
  for (auto tag = std::sregex_iterator(text.begin(), text.end(), kTag);
       tag != std::sregex_iterator(); ++tag) {
    const std::string attrs = (*tag)[1];
    std::string name, value;
    bool named = false;
    for (auto a = std::sregex_iterator(attrs.begin(), attrs.end(), kAttr);
         a != std::sregex_iterator(); ++a) {
      const std::string key = Upper((*a)[1]);
      const std::string v = (*a)[3].matched ? (*a)[3].str() : (*a)[4].str();
      if (key == "NAME" && !named) {
        name = DecodeEntities(v);
        named = true;
      } else if (key == "VALUE") {
        value = DecodeEntities(v);
      }
    }
    if (named && !name.empty()) fields.emplace_back(name, value);
  }
  return fields;
}

std::string InputValue(const FormFields& fields, std::string_view name) {
  for (const auto& [n, v] : fields)
    if (n == name) return v;
  return "<none>";
}

bool HasInput(const FormFields& fields, std::string_view name) {
  for (const auto& field : fields)
    if (field.first == name) return true;
  return false;
}

std::string FormBody(const FormFields& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += UrlEncode(name) + "=" + UrlEncode(value);
  }
  return body;
}

HttpResponse HttpPost(int port, std::string_view path, std::string_view body) {
  std::string request = "POST " + std::string(path) +
                        " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
  return HttpExchange(port, request);
}

}  // namespace tallypad::testing
