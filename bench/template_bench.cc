// Rendering a typical survey page: about 20 KiB of HTML with 40 questions
// (text fields, radio groups, check-box groups and selects) filled in from
// the answers already given, a few value markers, a conditional section and
// one script block, with a pending-fields table as the survey engine keeps
// it. Reports pages per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/decode.h"
#include "base/read.h"
#include "base/strbuf.h"
#include "base/output_stream.h"
#include "script/template.h"

namespace tallypad {
namespace {

constexpr int kQuestions = 40;
constexpr size_t kPageSize = 20 * 1024;

// One question's HTML; kinds rotate through text, radio, check box, select.
std::string Question(int q) {
  const std::string name = std::string("Q") + std::to_string(q);
  std::string html = std::string("<tr><td class=\"question\">Question ") + std::to_string(q) +
                     ": how do you rate this part of the service?</td>\n<td>";
  switch (q % 4) {
    case 0:
      html += "<input type=\"text\" name=\"" + name + "\" value=\"\" size=\"40\">";
      break;
    case 1:
      for (int v = 1; v <= 5; ++v)
        html += "<input type=\"radio\" name=\"" + name + "\" value=\"" + std::to_string(v) +
                "\"> " + std::to_string(v) + "\n";
      break;
    case 2:
      for (int v = 1; v <= 4; ++v)
        html += "<input type=\"checkbox\" name=\"" + name + "\" value=\"" + std::to_string(v) +
                "\"> option " + std::to_string(v) + "\n";
      break;
    default:
      html += "<select name=\"" + name + "\">\n";
      for (int v = 1; v <= 5; ++v)
        html += "<option value=\"" + std::to_string(v) + "\">Choice " + std::to_string(v) +
                "</option>\n";
      html += "</select>";
      break;
  }
  return html + "</td></tr>\n";
}

std::string SurveyPage() {
  std::string page =
      "<html><head><title>Customer survey</title>\n<style>\nbody { font-family: sans-serif; }\n"
      "td.question { width: 60%; }\n</style></head>\n<body>\n"
      "<h1>Welcome back, <%= NAME %></h1>\n"
      "<%if AGE gte 18%><p>Thank you for taking part.</p><%else%><p>Ask a parent.</p><%end%>\n"
      "<p>Your score so far: <%= toFixed(SCORE/3, 2) %></p>\n"
      "<% visits = VISITS + 1; %>\n"
      "<form method=\"POST\" action=\"/kqs\">\n<table>\n";
  for (int q = 1; q <= kQuestions; ++q) page += Question(q);
  page += "</table>\n";
  // Explanatory text up to the size of a typical page.
  const std::string para =
      "<p>Your answers are kept on this computer only and are used to improve the service. "
      "You can go back to earlier pages at any time; answers already given are shown again.</p>\n";
  while (page.size() + para.size() + 80 < kPageSize) page += para;
  page += "<input type=\"submit\" name=\"_ACTION\" value=\"NEXT\">\n</form>\n</body></html>\n";
  return page;
}

// The answers given so far, as the survey engine holds them.
std::string Answers() {
  std::string body = "NAME=Ann&AGE=42&SCORE=17&VISITS=3";
  for (int q = 1; q <= kQuestions; ++q) {
    body += std::string("&Q") + std::to_string(q) + "=";
    body += q % 4 == 0 ? "some+text+answer" : std::to_string(q % 5 + 1);
    if (q % 4 == 2) body += std::string("&Q") + std::to_string(q) + "=4";  // a second ticked box
  }
  return body;
}

void BM_RenderSurveyPage(benchmark::State& state) {
  const std::string text = SurveyPage();
  const std::string answers = Answers();
  std::vector<std::string> field_names;
  for (int q = 1; q <= kQuestions; ++q) field_names.push_back(std::string("Q") + std::to_string(q) + "=");

  size_t bytes = 0;
  for (auto _ : state) {
    VarTablePtr vars = FormDecode(0, answers, 16);
    VarTablePtr pending = VarTableFromPairs(field_names, 0);
    StrBuf buf;
    OutputStream out{nullptr, nullptr, &buf};
    PageReader page(text);
    TemplateProcess({.base_path = "/srv/forms/survey/page1.htm",
                     .out = &out,
                     .page = &page,
                     .vars = vars.get(),
                     .pending = pending.get(),
                     .formfill = true});
    bytes = buf.Length();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
  state.counters["page_bytes"] = static_cast<double>(text.size());
  state.counters["output_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RenderSurveyPage)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tallypad

BENCHMARK_MAIN();
