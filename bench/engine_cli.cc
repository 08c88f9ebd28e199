// Drives the engine from the command line for bench/commands_bench.sh:
//   hv_engine_cli tree DIR COUNT     makes COUNT files of 1-32 KiB under DIR
//   hv_engine_cli build LIST DIR...  Build
//   hv_engine_cli verify LIST DIR... Redure (the verify command)
//   hv_engine_cli update LIST DIR... Update
// Commands run as the program runs them with its output redirected: no
// progress events, file errors counted. The exit code is the command's result.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/verify.h"
#include "support/exceptions.h"

namespace {

constexpr int kFilesPerDirectory = 500;

// Sizes and bytes from a fixed generator, so every run makes the same tree.
int MakeTree(const std::filesystem::path& root, int64_t count) {
  uint64_t state = 0x9E3779B97F4A7C15u;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  std::vector<char> bytes(32 * 1024);
  for (char& c : bytes) c = static_cast<char>(next());
  std::filesystem::path directory;
  for (int64_t i = 0; i < count; ++i) {
    if (i % kFilesPerDirectory == 0) {
      char name[32];
      std::snprintf(name, sizeof name, "d%05lld", static_cast<long long>(i / kFilesPerDirectory));
      directory = root / name;
      std::filesystem::create_directories(directory);
    }
    char name[32];
    std::snprintf(name, sizeof name, "f%07lld.bin", static_cast<long long>(i));
    const size_t size = 1024 + next() % (31 * 1024 + 1);
    // Each file starts at another place of the pattern, so contents differ.
    const size_t start = next() % (bytes.size() - size + 1);
    std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data() + start, static_cast<std::streamsize>(size));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", (directory / name).c_str());
      return 254;
    }
  }
  return 0;
}

int RunCommand(std::string_view command, const std::string& list, const std::vector<std::string>& dirs) {
  hv::Verify engine;
  engine.Clear();
  engine.SetShowProgress(false);
  engine.SetHashesFileName(list);
  for (const std::string& dir : dirs) engine.BaseDirectories().push_back(dir);
  int64_t errors = 0;
  engine.SetOnStateChange([&errors](hv::Verify&, hv::VerifyState state, const hv::StateChangeObject* info) {
    if (state != hv::vstFileError) return;
    if (++errors <= 5) {
      const auto* error = static_cast<const hv::StateChangeErrorInFile*>(info);
      std::fprintf(stderr, "ERROR %s for file \"%s\": %s\n", error->ExceptionClass().c_str(),
                   error->FileName().c_str(), error->ExceptionMessage().c_str());
    }
  });
  int result = 0;
  if (command == "build") {
    result = engine.Build();
  } else if (command == "verify") {
    result = engine.Redure();
  } else {
    result = engine.Update();
  }
  std::fprintf(stderr, "%.*s: result %d, %d entries, %lld file errors\n", static_cast<int>(command.size()),
               command.data(), result, engine.GetHashList().Count(), static_cast<long long>(errors));
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == "tree") return MakeTree(args[1], std::stoll(args[2]));
    if (args.size() >= 3 && (args[0] == "build" || args[0] == "verify" || args[0] == "update")) {
      return RunCommand(args[0], args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ERROR %s: %s\n", hv::ExceptionClassName(e), e.what());
    return 254;
  }
  std::fprintf(stderr, "usage: %s tree DIR COUNT | build|verify|update LIST DIR...\n", argv[0]);
  return 254;
}
