// Cost of saving a response and of finding a returning respondent in a
// large data file: 100,000 records of about 500 bytes with an index, then
// one more save step (append, supersede scan, index entry) and a login
// lookup through the index and without one.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/vartable.h"
#include "store/datafile.h"
#include "store/datafile_write.h"
#include "store/record_lookup.h"

namespace tallypad {
namespace {

constexpr int kRecords = 100000;
constexpr int kQuestions = 31;

struct Store {
  std::string dir;
  std::string base;  // a file path in the folder, as the engine's base path
  std::string data;
  std::string index;
};

// The answers of respondent `n`: session, login, password and 31 answers,
// about 500 bytes as a record.
VarTablePtr Answers(int n, const std::string& session) {
  VarTablePtr vars = VarTableNew(3 + kQuestions);
  vars->entries[0] = VarEntry{std::string("_SESSION"), session};
  vars->entries[1] = VarEntry{std::string("IFMUID"), "user" + std::to_string(n)};
  vars->entries[2] = VarEntry{std::string("IFMUID1"), "pw" + std::to_string(n * 7919 % 100003)};
  for (int q = 0; q < kQuestions; ++q) {
    std::string value = std::string("answer ").append(std::to_string((n + q) % 97));
    value.append(q % 3 ? ",x" : " yes");
    vars->entries[3 + q] = VarEntry{std::string("Q").append(std::to_string(q + 1)), value};
  }
  return vars;
}

std::string SessionOf(int n) { return std::string("x").append(std::to_string(n)).append("Ysess"); }

void WriteFile(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// Builds the store once. The records are the exact lines AppendRecord and
// AppendIndexEntry write, laid down in bulk: 100,000 flushed appends would
// take minutes on a disk and measure only the disk.
Store& TheStore() {
  static Store store = [] {
    Store s;
    std::string pattern = (std::filesystem::temp_directory_path() / "tallypad-bench-XXXXXX");
    s.dir = std::string(mkdtemp(pattern.data())) + "/";
    s.base = s.dir + "demo.ini";
    s.data = s.dir + "demo.asc";
    s.index = s.dir + "demo.idx";
    std::string header = "#_SESSION\tIFMUID\tIFMUID1";
    for (int q = 0; q < kQuestions; ++q) header += "\tQ" + std::to_string(q + 1);
    header += "\t\r\n";
    WriteFile(s.data, header);
    WriteFile(s.index, "#IFMUID\t_POS\n");
    VarTablePtr columns = DataFileReadColumns(s.data, 0);
    VarTablePtr index_columns = DataFileReadColumns(s.index, 0);

    auto start = std::chrono::steady_clock::now();
    std::string data = header, index = "#IFMUID\t_POS\n";
    size_t total = 0;
    for (int n = 0; n < kRecords; ++n) {
      VarTablePtr vars = Answers(n, SessionOf(n));
      std::string line = DataRecordLine(columns.get(), vars.get());
      index += IndexEntryLine(index_columns.get(), vars.get(), static_cast<int64_t>(data.size()));
      data += line;
      total += line.size();
    }
    WriteFile(s.data, data);
    WriteFile(s.index, index);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
    std::fprintf(stderr, "store: %d records, %.0f bytes per record, data %zu bytes, index %zu bytes, "
                 "built in %.0f ms\n", kRecords, double(total) / kRecords, data.size(),
                 index.size(), ms);
    return s;
  }();
  return store;
}

VarTablePtr Settings(bool with_index) {
  VarTablePtr settings = VarTableNew(2);
  settings->entries[0] = VarEntry{std::string("SAVEDATANAME"), std::string("demo.asc")};
  settings->entries[1] =
      VarEntry{std::string("SAVEINDEXNAME"), std::string(with_index ? "demo.idx" : "")};
  return settings;
}

// The supersede scan alone: the whole data file read for one session.
void BM_SupersedeScan(benchmark::State& state) {
  Store& s = TheStore();
  VarTablePtr vars = Answers(42, SessionOf(42));
  for (auto _ : state) benchmark::DoNotOptimize(SupersedeSession(s.data, vars.get()));
}
BENCHMARK(BM_SupersedeScan)->Unit(benchmark::kMillisecond);

// One more save step of a returning session: append, supersede, index entry.
void BM_SaveStep(benchmark::State& state) {
  Store& s = TheStore();
  VarTablePtr vars = Answers(50000, SessionOf(50000));
  for (auto _ : state) {
    int64_t offset = 0;
    if (AppendRecord(s.data, vars.get(), &offset) != ResultCode::kOk) state.SkipWithError("append failed");
    if (SupersedeSession(s.data, vars.get()) < 1) state.SkipWithError("nothing superseded");
    if (AppendIndexEntry(s.index, vars.get(), offset) != ResultCode::kOk) state.SkipWithError("index failed");
  }
}
BENCHMARK(BM_SaveStep)->Unit(benchmark::kMillisecond);

void Lookup(benchmark::State& state, bool with_index) {
  Store& s = TheStore();
  VarTablePtr settings = Settings(with_index);
  VarTablePtr login = Answers(77777, "");
  for (auto _ : state) {
    VarTablePtr found = FindRespondentRecord(settings.get(), s.base, "demo", login.get());
    if (!found || VarTableGet(found.get(), "IFMUID") != "user77777")
      state.SkipWithError("respondent not found");
  }
}

void BM_LoginLookupWithIndex(benchmark::State& state) { Lookup(state, true); }
BENCHMARK(BM_LoginLookupWithIndex)->Unit(benchmark::kMillisecond);

void BM_LoginLookupWithoutIndex(benchmark::State& state) { Lookup(state, false); }
BENCHMARK(BM_LoginLookupWithoutIndex)->Unit(benchmark::kMillisecond);

// One flushed record append on the big file (run last: it adds thousands
// of records).
void BM_AppendRecord(benchmark::State& state) {
  Store& s = TheStore();
  VarTablePtr vars = Answers(kRecords + 1, "append-only");
  for (auto _ : state) {
    int64_t offset = 0;
    if (AppendRecord(s.data, vars.get(), &offset) != ResultCode::kOk) state.SkipWithError("append failed");
    benchmark::DoNotOptimize(offset);
  }
}
BENCHMARK(BM_AppendRecord)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tallypad

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(tallypad::TheStore().dir, ignored);
  return 0;
}
