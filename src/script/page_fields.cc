#include "script/page_fields.h"

#include <map>
#include <optional>

#include "base/read.h"
#include "base/str.h"
#include "base/text.h"
#include "base/utf8_cut.h"
#include "script/page_read.h"

namespace tallypad {

namespace {

// A tag's name keeps this much: enough to tell the tags read here.
constexpr size_t kTagNameLimit = 16;
// At most this many attributes of a field are kept, as the template
// processor keeps when it writes the field for the browser.
constexpr size_t kMaxFieldAttributes = 20;
// Label and legend texts are gathered up to this many bytes before they are
// cut to kMaxQuestionBytes, so that a long label costs no more.
constexpr size_t kGatherLimit = 2 * kMaxQuestionBytes;
// Deepest nesting of open labels and field sets followed; deeper ones are
// read as text of the innermost.
constexpr size_t kMaxOpenElements = 64;
constexpr size_t kNone = static_cast<size_t>(-1);

struct Label {
  std::optional<std::string> for_id;
  std::string text;
  std::vector<size_t> wrapped;  // fields inside the label
};

struct Fieldset {
  size_t parent = kNone;
  std::string legend{};
};

// Appends `text` to `to` with runs of white space made one blank, while it
// holds fewer than kGatherLimit bytes.
void Gather(std::string* to, std::string_view text) {
  for (char c : text) {
    if (to->size() >= kGatherLimit) return;
    const bool white = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    if (white) {
      if (!to->empty() && to->back() != ' ') to->push_back(' ');
    } else {
      to->push_back(c);
    }
  }
}

// A gathered text as a question: without blanks around it and without a
// final colon, cut to kMaxQuestionBytes.
std::string Question(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == ':')) text.pop_back();
  size_t lead = text.find_first_not_of(' ');
  text.erase(0, lead == std::string::npos ? text.size() : lead);
  return Utf8CutToBytes(text, kMaxQuestionBytes);
}

std::string AttributeOf(const VarTable* attrs, std::string_view name) {
  const VarEntry* e = VarTableFind(attrs, name);
  return e && e->value ? *e->value : std::string();
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Moves `page` past the next `end` (compared without case), or to the end.
void SkipPast(PageReader& page, std::string_view end) {
  const std::string_view rest = page.Rest();
  for (size_t at = 0; at + end.size() <= rest.size(); ++at) {
    if (StrEqualNoCase(rest.substr(at, end.size()), end)) {
      page.Seek(page.Tell() + at + end.size());
      return;
    }
  }
  page.Seek(page.text().size());
}

class FieldReader {
 public:
  explicit FieldReader(std::string_view text) : page_(text) {}

  std::vector<PageField> Read() {
    std::string text;
    for (int c; (c = page_.Get()) != EOF;) {
      if (c != '<') {
        text.push_back(static_cast<char>(c));
        continue;
      }
      if (!text.empty()) {
        Text(text);
        text.clear();
      }
      Tag();
    }
    if (!text.empty()) Text(text);
    while (!labels_.empty()) CloseLabel();
    CloseOption();
    for (PageField& field : fields_) field.question = QuestionOf(field);
    return std::move(fields_);
  }

 private:
  void Text(std::string_view text) {
    for (Label& label : labels_) Gather(&label.text, text);
    if (legend_of_ != kNone) Gather(&fieldsets_[legend_of_].legend, text);
    if (option_ != kNone) Gather(&option_text_, text);
  }

  void Tag() {
    const std::string_view rest = page_.Rest();
    if (rest.starts_with("%")) {
      SkipPast(page_, "%>");  // a marker of the template, not HTML
      return;
    }
    if (rest.starts_with("!--")) {
      SkipPast(page_, "-->");  // a comment, or a value marker
      return;
    }
    std::string name;
    const int delim = PageReadToken(page_, &name, kTagNameLimit, "> \t\r\n");
    if (delim == -1) return;
    name = Lower(name);
    auto attributes = [&] {
      return delim == '>' ? VarTableNew(0) : ReadTagAttributes(page_, kMaxFieldAttributes);
    };
    if (name == "input" || name == "select" || name == "option" || name == "textarea") {
      Field(name, attributes());
      return;
    }
    if (name == "label") {
      VarTablePtr attrs = attributes();
      if (labels_.size() < kMaxOpenElements) {
        Label label;
        if (const VarEntry* e = VarTableFind(attrs.get(), "for"); e && e->value)
          label.for_id = *e->value;
        labels_.push_back(std::move(label));
      }
      return;
    }
    if (delim != '>') PageSkipPast(page_, '>');
    if (name == "/label") {
      if (!labels_.empty()) CloseLabel();
    } else if (name == "fieldset") {
      if (open_fieldsets_.size() < kMaxOpenElements) {
        fieldsets_.push_back({.parent = open_fieldsets_.empty() ? kNone : open_fieldsets_.back()});
        open_fieldsets_.push_back(fieldsets_.size() - 1);
      }
    } else if (name == "/fieldset") {
      if (!open_fieldsets_.empty()) open_fieldsets_.pop_back();
      legend_of_ = kNone;
    } else if (name == "legend") {
      // The first legend of a field set is its caption.
      if (!open_fieldsets_.empty() && fieldsets_[open_fieldsets_.back()].legend.empty())
        legend_of_ = open_fieldsets_.back();
    } else if (name == "/legend") {
      legend_of_ = kNone;
    } else if (name == "/option" || name == "/select") {
      CloseOption();
      if (name == "/select") select_name_.clear();
    } else if (name == "br") {
      Text(" ");
    } else if (name == "script" || name == "style") {
      SkipPast(page_, "</" + name);
      PageSkipPast(page_, '>');
    }
  }

  void Field(const std::string& tag, VarTablePtr attrs) {
    PageField field;
    field.name = AttributeOf(attrs.get(), "NAME");
    if (tag == "input") {
      field.tag = FieldTag::kInput;
      field.type = Lower(AttributeOf(attrs.get(), "TYPE"));
      if (field.type.empty()) field.type = "text";
      const VarEntry* value = VarTableFind(attrs.get(), "VALUE");
      const bool box = field.type == "radio" || field.type == "checkbox";
      field.value = value && value->value ? *value->value : box ? "on" : "";
    } else if (tag == "select") {
      CloseOption();
      field.tag = FieldTag::kSelect;
      field.type = "select";
      select_name_ = field.name;
    } else if (tag == "option") {
      CloseOption();
      field.tag = FieldTag::kOption;
      field.type = "option";
      field.name = select_name_;
      const VarEntry* value = VarTableFind(attrs.get(), "VALUE");
      if (value) {
        field.value = value->value.value_or("");
      } else {
        option_ = fields_.size();  // its value is its text
      }
    } else {
      field.tag = FieldTag::kTextarea;
      field.type = "textarea";
    }
    field.attributes = std::move(attrs);
    if (!labels_.empty()) labels_.back().wrapped.push_back(fields_.size());
    fieldset_of_.push_back(open_fieldsets_.empty() ? kNone : open_fieldsets_.back());
    fields_.push_back(std::move(field));
    // The text of a text area is its value, not page text.
    if (tag == "textarea") SkipPast(page_, "</textarea>");
  }

  void CloseOption() {
    if (option_ == kNone) return;
    fields_[option_].value = Question(option_text_);
    option_ = kNone;
    option_text_.clear();
  }

  void CloseLabel() {
    Label label = std::move(labels_.back());
    labels_.pop_back();
    std::string text = Question(label.text);
    if (label.for_id) {
      if (!label_for_.contains(*label.for_id)) label_for_.emplace(*label.for_id, text);
    } else {
      for (size_t field : label.wrapped)
        if (wrapping_label_.size() <= field) wrapping_label_.resize(field + 1);
      for (size_t field : label.wrapped) wrapping_label_[field] = text;
    }
  }

  std::string LegendOf(size_t index) const {
    for (size_t at = fieldset_of_[index]; at != kNone; at = fieldsets_[at].parent) {
      std::string legend = Question(fieldsets_[at].legend);
      if (!legend.empty()) return legend;
    }
    return {};
  }

  std::string QuestionOf(const PageField& field) {
    const size_t index = static_cast<size_t>(&field - fields_.data());
    const VarTable* attrs = field.attributes.get();
    std::vector<std::string> candidates;
    // A radio button's own label is one of the answers; its group's
    // question is the legend of its field set.
    if (field.type == "radio") {
      candidates = {LegendOf(index), AttributeOf(attrs, "aria-label"), AttributeOf(attrs, "title")};
    } else {
      const std::string id = AttributeOf(attrs, "id");
      auto for_label = label_for_.find(id);
      candidates = {id.empty() || for_label == label_for_.end() ? "" : for_label->second,
                    index < wrapping_label_.size() ? wrapping_label_[index] : "",
                    AttributeOf(attrs, "aria-label"), AttributeOf(attrs, "title"),
                    LegendOf(index)};
    }
    for (std::string& candidate : candidates) {
      std::string question = Question(std::move(candidate));
      if (!question.empty()) return question;
    }
    return Utf8CutToBytes(HtmlEscape(field.name), kMaxQuestionBytes);
  }

  PageReader page_;
  std::vector<PageField> fields_;
  std::vector<size_t> fieldset_of_;  // per field: its innermost field set
  std::vector<Label> labels_;        // the labels open now
  std::map<std::string, std::string> label_for_;
  std::vector<std::string> wrapping_label_;  // per field: the label around it
  std::vector<Fieldset> fieldsets_;
  std::vector<size_t> open_fieldsets_;
  size_t legend_of_ = kNone;
  std::string select_name_;
  size_t option_ = kNone;  // an option whose value is its text, while open
  std::string option_text_;
};

}  // namespace

std::vector<PageField> PageFields(std::string_view text) { return FieldReader(text).Read(); }

bool FieldHas(const PageField& field, std::string_view name) {
  const VarEntry* e = VarTableFind(field.attributes.get(), name);
  return e && e->IsUsed();
}

std::string FieldAttribute(const PageField& field, std::string_view name) {
  return AttributeOf(field.attributes.get(), name);
}

}  // namespace tallypad
