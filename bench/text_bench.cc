// Benchmarks of the text utilities: case-insensitive comparison, wildcards, base64.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "util/Text.h"

namespace {

using velmora::util::Base64Decode;
using velmora::util::Base64EncodedSize;
using velmora::util::Base64EncodeTo;
using velmora::util::CompareNoCase;
using velmora::util::MatchWildcard;

const std::vector<std::string>& AsciiNames() {
  static const std::vector<std::string> names = {"Invoice_2026-12-04_000123.PDF",
                                                 "invoice_2026-12-04_000123.pdf",
                                                 "report.xml",
                                                 "REPORT.XML.20261204045539.Qk7_x+03600.locked",
                                                 "order-export-customer-4711.csv",
                                                 "Order-Export-Customer-4712.CSV",
                                                 "trigger.trg",
                                                 "trigger.trg.done"};
  return names;
}

const std::vector<std::string>& NonAsciiNames() {
  static const std::vector<std::string> names = {"Übersicht_Bestellungen_März.PDF",
                                                 "übersicht_bestellungen_märz.pdf",
                                                 "Ελληνικά_ΟΔΟΣ.xml",
                                                 "ελληνικά_οδος.XML",
                                                 "Отчёт_за_декабрь.csv",
                                                 "ОТЧЁТ_ЗА_ДЕКАБРЬ.CSV",
                                                 "Straße_ẞ.txt",
                                                 "STRASSE.txt"};
  return names;
}

void CompareAll(benchmark::State& state, const std::vector<std::string>& names) {
  size_t bytes = 0;
  for (auto _ : state) {
    int sum = 0;
    for (const auto& a : names) {
      for (const auto& b : names) sum += CompareNoCase(a, b);
    }
    benchmark::DoNotOptimize(sum);
  }
  for (const auto& a : names) bytes += a.size() * names.size();
  state.SetItemsProcessed(state.iterations() * names.size() * names.size());
  state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_CompareNoCaseAscii(benchmark::State& state) { CompareAll(state, AsciiNames()); }
void BM_CompareNoCaseNonAscii(benchmark::State& state) { CompareAll(state, NonAsciiNames()); }
BENCHMARK(BM_CompareNoCaseAscii);
BENCHMARK(BM_CompareNoCaseNonAscii);

void MatchAll(benchmark::State& state, const std::vector<std::string>& names) {
  static const char* const masks[] = {
      "*.pdf",    "*.xml", "order-export-*.csv", "*", "*.pdf.??????????????.?????+?????.locked",
      "*_*_*.pdf"};
  for (auto _ : state) {
    int hits = 0;
    for (const char* mask : masks) {
      for (const auto& name : names) hits += MatchWildcard(mask, name);
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(state.iterations() * names.size() * std::size(masks));
}

void BM_MatchWildcardAscii(benchmark::State& state) { MatchAll(state, AsciiNames()); }
void BM_MatchWildcardNonAscii(benchmark::State& state) { MatchAll(state, NonAsciiNames()); }
BENCHMARK(BM_MatchWildcardAscii);
BENCHMARK(BM_MatchWildcardNonAscii);

std::string TestData(size_t size) {
  std::string data(size, '\0');
  uint32_t x = 12345;
  for (char& c : data) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

void BM_Base64Encode(benchmark::State& state) {
  std::string data = TestData(static_cast<size_t>(state.range(0)));
  std::string out(Base64EncodedSize(data.size()), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64EncodeTo(data.data(), data.size(), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Base64Encode)->Arg(4000)->Arg(1 << 20);

void BM_Base64Decode(benchmark::State& state) {
  std::string data = TestData(static_cast<size_t>(state.range(0)));
  std::string text(Base64EncodedSize(data.size()), '\0');
  Base64EncodeTo(data.data(), data.size(), text.data());
  std::string out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64Decode(text, &out));
    benchmark::ClobberMemory();
  }
  // Throughput counted in decoded bytes, comparable with the encoder.
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Base64Decode)->Arg(4000)->Arg(1 << 20);

void BM_Base64DecodeLineBroken(benchmark::State& state) {
  std::string data = TestData(1 << 20);
  std::string flat(Base64EncodedSize(data.size()), '\0');
  Base64EncodeTo(data.data(), data.size(), flat.data());
  std::string text;
  for (size_t i = 0; i < flat.size(); i += 76) text += flat.substr(i, 76) + "\r\n";
  std::string out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64Decode(text, &out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Base64DecodeLineBroken);

}  // namespace

BENCHMARK_MAIN();
