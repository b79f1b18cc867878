// A large LIST reply turned into entries, and the profile file's read and write.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/inifile.h"
#include "session/profiles.h"
#include "transfer/listing.h"

namespace {

std::string MakeListing(int lines) {
  std::string text = "total 123456\r\n";
  for (int i = 0; i < lines; ++i) {
    text += (i % 10 == 0) ? "drwxr-xr-x   2 ftp      ftp          4096 Jan  5 12:30 dir"
                          : "-rw-r--r--   1 ftp      ftp       1234567 Dec 24  1999 file number ";
    text += std::to_string(i) + (i % 10 == 0 ? "" : ".tar.gz") + "\r\n";
  }
  return text;
}

void BM_ParseListing(benchmark::State& state) {
  const std::string text = MakeListing(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const auto entries = transfer::ParseListing(transfer::SplitListingLines(text));
    benchmark::DoNotOptimize(entries.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseListing)->Arg(1000)->Arg(100000);

class ProfileFile {
 public:
  ProfileFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vekbench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) folder_ = pattern;
    store_ = std::make_unique<session::TProfileStore>(folder_ + "/rirarar.ini");
    session::TSiteProfile profile;
    profile.HostName = "ftp.example.org";
    profile.Password = "secret pw";
    for (int i = 0; i < 50; ++i) store_->WriteProfile(i, "SITE" + std::to_string(i), profile);
  }
  ~ProfileFile() { std::filesystem::remove_all(folder_); }
  session::TProfileStore& Store() { return *store_; }

 private:
  std::string folder_;
  std::unique_ptr<session::TProfileStore> store_;
};

void BM_ReadProfileOf50(benchmark::State& state) {
  ProfileFile file;
  for (auto _ : state) benchmark::DoNotOptimize(file.Store().ReadProfile("SITE25"));
}
BENCHMARK(BM_ReadProfileOf50);

// Each of the ten keys is one durable replace (temporary file, fsync, rename).
void BM_WriteProfileOf50(benchmark::State& state) {
  ProfileFile file;
  session::TSiteProfile profile;
  int n = 0;
  for (auto _ : state) {
    profile.HostName = "host" + std::to_string(n++);
    file.Store().WriteProfile(25, "SITE25", profile);
  }
}
BENCHMARK(BM_WriteProfileOf50)->Unit(benchmark::kMillisecond);

}  // namespace
