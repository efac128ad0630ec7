#include "support/html_form.h"

#include <cctype>
#include <optional>
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

// The NAME and VALUE of a tag's attributes, and whether it carries the bare
// attribute `flag` (outside quoted values).
struct TagAttributes {
  std::string name, value;
  bool named = false, flagged = false;
};

TagAttributes ReadAttributes(const std::string& attrs, std::string_view flag) {
  static const std::regex kAttr("([A-Za-z_-]+)\\s*=\\s*(\"([^\"]*)\"|([^\\s>\"]+))");
  static const std::regex kQuoted("\"[^\"]*\"");
  TagAttributes out;
  for (auto a = std::sregex_iterator(attrs.begin(), attrs.end(), kAttr);
       a != std::sregex_iterator(); ++a) {
    const std::string key = Upper((*a)[1]);
    const std::string v = (*a)[3].matched ? (*a)[3].str() : (*a)[4].str();
    if (key == "NAME" && !out.named) {
      out.name = DecodeEntities(v);
      out.named = true;
    } else if (key == "VALUE") {
      out.value = DecodeEntities(v);
    }
  }
  if (flag.empty()) return out;
  const std::regex bare("(^|\\s)" + std::string(flag) + "(\\s|$|=)", std::regex::icase);
  out.flagged = std::regex_search(std::regex_replace(attrs, kQuoted, "\"\""), bare);
  return out;
}

}  // namespace

std::vector<std::string> ChosenValues(std::string_view html, std::string_view name) {
  static const std::regex kInput("<input\\b([^>]*)>", std::regex::icase);
  static const std::regex kSelect("<select\\b([^>]*)>([\\s\\S]*?)</select>", std::regex::icase);
  static const std::regex kOption("<option\\b([^>]*)>", std::regex::icase);
  std::vector<std::string> chosen;
  const std::string text(html);
  for (auto tag = std::sregex_iterator(text.begin(), text.end(), kInput);
       tag != std::sregex_iterator(); ++tag) {
    TagAttributes a = ReadAttributes((*tag)[1], "CHECKED");
    if (a.named && a.name == name && a.flagged) chosen.push_back(a.value);
  }
  for (auto select = std::sregex_iterator(text.begin(), text.end(), kSelect);
       select != std::sregex_iterator(); ++select) {
    if (ReadAttributes((*select)[1], "MULTIPLE").name != name) continue;
    const std::string options = (*select)[2];
    for (auto option = std::sregex_iterator(options.begin(), options.end(), kOption);
         option != std::sregex_iterator(); ++option) {
      TagAttributes a = ReadAttributes((*option)[1], "SELECTED");
      if (a.flagged) chosen.push_back(a.value);
    }
  }
  return chosen;
}

FormFields PressButton(std::string_view html, std::string_view action, const FormFields& typed) {
  static const std::regex kField(
      "<input\\b([^>]*)>|<select\\b([^>]*)>([\\s\\S]*?)</select>|"
      "<textarea\\b([^>]*)>([\\s\\S]*?)</textarea>",
      std::regex::icase);
  static const std::regex kOption("<option\\b([^>]*)>", std::regex::icase);
  static const std::regex kType("(^|\\s)type\\s*=\\s*\"?([A-Za-z]+)", std::regex::icase);
  FormFields fields;
  const std::string text(html);
  for (auto f = std::sregex_iterator(text.begin(), text.end(), kField);
       f != std::sregex_iterator(); ++f) {
    const auto& m = *f;
    if (m[1].matched) {
      const std::string attrs = m[1];
      TagAttributes a = ReadAttributes(attrs, "CHECKED");
      std::smatch type;
      const std::string kind =
          std::regex_search(attrs, type, kType) ? Upper(type[2].str()) : std::string("TEXT");
      if (!a.named || a.name.empty() || a.name == "_ACTION") continue;
      if (kind == "SUBMIT" || kind == "BUTTON" || kind == "RESET" || kind == "IMAGE") continue;
      if ((kind == "RADIO" || kind == "CHECKBOX") && !a.flagged) continue;
      fields.emplace_back(a.name, a.value);
    } else if (m[2].matched) {
      TagAttributes select = ReadAttributes(m[2], "MULTIPLE");
      if (!select.named || select.name.empty()) continue;
      const std::string options = m[3];
      std::vector<std::string> chosen;
      std::optional<std::string> first;
      for (auto o = std::sregex_iterator(options.begin(), options.end(), kOption);
           o != std::sregex_iterator(); ++o) {
        TagAttributes a = ReadAttributes((*o)[1], "SELECTED");
        if (!first) first = a.value;
        if (a.flagged) chosen.push_back(a.value);
      }
      if (chosen.empty() && first) chosen.push_back(*first);
      for (const std::string& value : chosen) fields.emplace_back(select.name, value);
    } else {
      TagAttributes a = ReadAttributes(m[4], "");
      if (a.named && !a.name.empty()) fields.emplace_back(a.name, DecodeEntities(m[5]));
    }
  }
  for (const auto& [name, value] : typed) {
    bool replaced = false;
    for (auto& field : fields)
      if (!replaced && field.first == name) replaced = true, field.second = value;
    if (!replaced) fields.emplace_back(name, value);
  }
  fields.emplace_back("_ACTION", action);
  return fields;
}

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
