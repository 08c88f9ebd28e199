// Drives the engine from the command line for bench/commands_bench.sh:
//   hv_engine_cli tree DIR COUNT [PER_DIR]
//                                    makes COUNT files of 1-32 KiB under DIR,
//                                    PER_DIR (default 500) to a directory
//   hv_engine_cli empty DIR COUNT PREFIX
//                                    makes COUNT empty files DIR/PREFIXddd/fNNNNNNN
//   hv_engine_cli lists OLD NEW COUNT DUPLICATES DELETED
//                                    writes an old list of COUNT entries and
//                                    a new one after edits (fractions of COUNT
//                                    sharing content, and deleted)
//   hv_engine_cli numbered LIST COUNT PREFIX one|distinct [killer]
//                                    writes COUNT entries PREFIX\dNNN\fNNNNNNN.bin
//                                    of one content or distinct ones, in path
//                                    order or in the quicksort's worst order
//   hv_engine_cli build LIST DIR...  Build
//   hv_engine_cli build1 LIST DIR... Build without helper threads
//   hv_engine_cli verify LIST DIR... Redure (the verify command)
//   hv_engine_cli update LIST DIR... Update
//   hv_engine_cli opens DIR          looks at, opens and reads every file of
//                                    DIR as Build and its helpers do, one
//                                    thread, no hashing: the system calls alone
// Commands run as the program runs them with its output redirected: no
// progress events, file errors counted. The exit code is the command's result.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/list_generator.h"
#include "engine/verify.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "support/exceptions.h"

namespace {

// Sizes and bytes from a fixed generator, so every run makes the same tree.
int MakeTree(const std::filesystem::path& root, int64_t count, int64_t per_directory) {
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
    if (i % per_directory == 0) {
      char name[32];
      std::snprintf(name, sizeof name, "d%05lld", static_cast<long long>(i / per_directory));
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

int MakeEmptyFiles(const std::filesystem::path& root, int count, const std::string& prefix) {
  char name[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "%s%03d/f%07d", prefix.c_str(), i / 1000, i);
    const std::filesystem::path file = root / name;
    if (i % 1000 == 0) std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", file.c_str());
      return 254;
    }
  }
  return 0;
}

int RunCommand(std::string_view command, const std::string& list, const std::vector<std::string>& dirs) {
  hv::Verify engine;
  engine.Clear();
  if (command == "build1") engine.SetReadAheadThreads(0);
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
  if (command == "build" || command == "build1") {
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

// The system's share of Build's work on one file, through the same calls:
// the scan's stat of the name, the open that never opens anything but a
// regular file, the read and the stat after it.
int64_t OpenAll(const std::string& directory, std::byte* buffer, size_t capacity) {
  hv::platform::FileSystem& fs = hv::platform::RealFileSystem();
  std::unique_ptr<hv::platform::DirectoryReader> reader;
  if (fs.OpenDirectory(directory, &reader) != 0) throw std::runtime_error("cannot list " + directory);
  int64_t files = 0;
  std::vector<std::string> below;
  hv::platform::DirectoryEntry entry;
  while (reader->Next(&entry)) {
    const std::string name(entry.name);
    if (entry.kind == hv::platform::EntryKind::kDirectory) below.push_back(directory + "/" + name);
    if (entry.kind != hv::platform::EntryKind::kRegular) continue;
    hv::platform::FileStatus looked, opened, after;
    std::unique_ptr<hv::platform::ReadableFile> file;
    if (reader->Stat(name, &looked) != 0 || reader->OpenForReading(name, true, &file, &opened) != 0) continue;
    // As Build's helpers read: no read more to find the end of a file whose
    // size was known.
    hv::platform::ErrorCode error = 0;
    for (int64_t done = 0, n = 1; done < opened.size && n > 0; done += n) {
      n = file->Read(buffer, static_cast<int64_t>(capacity), &error);
    }
    if (file->Status(&after) == 0) ++files;
    // A helper closes what it read a batch at a time.
    if (files % 32 == 0) fs.CloseDeferred();
  }
  for (const std::string& sub : below) files += OpenAll(sub, buffer, capacity);
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if ((args.size() == 3 || args.size() == 4) && args[0] == "tree") {
      return MakeTree(args[1], std::stoll(args[2]), args.size() == 4 ? std::stoll(args[3]) : 500);
    }
    if (args.size() == 4 && args[0] == "empty") return MakeEmptyFiles(args[1], std::stoi(args[2]), args[3]);
    if ((args.size() == 5 || args.size() == 6) && args[0] == "numbered") {
      std::vector<hv::bench::GeneratedEntry> entries =
          hv::bench::NumberedEntries(std::stoi(args[2]), args[3], args[4] == "one");
      if (args.size() == 6) hv::bench::QuicksortKillerOrder(entries);
      hv::bench::WriteHashListFile(args[1], entries);
      return 0;
    }
    if (args.size() == 6 && args[0] == "lists") {
      hv::bench::ChangeMix mix;
      mix.duplicates = std::stod(args[4]);
      mix.deleted = std::stod(args[5]);
      const hv::bench::GeneratedLists lists = hv::bench::GenerateLists(std::stoi(args[3]), 20261209, mix);
      hv::bench::WriteHashListFile(args[1], lists.old_entries);
      hv::bench::WriteHashListFile(args[2], lists.new_entries);
      return 0;
    }
    if (args.size() == 2 && args[0] == "opens") {
      std::vector<std::byte> buffer(size_t{1} << 20);
      int64_t files = 0;
      // On a thread of its own, with a table of descriptors of its own, as
      // Build's helpers work.
      std::thread([&] {
        hv::platform::RealFileSystem().UseOwnDescriptors();
        files = OpenAll(args[1], buffer.data(), buffer.size());
      }).join();
      std::fprintf(stderr, "opens: %lld files\n", static_cast<long long>(files));
      return 0;
    }
    if (args.size() >= 3 && (args[0] == "build" || args[0] == "build1" || args[0] == "verify" || args[0] == "update")) {
      return RunCommand(args[0], args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ERROR %s: %s\n", hv::ExceptionClassName(e), e.what());
    return 254;
  }
  std::fprintf(stderr, "usage: %s tree DIR COUNT [PER_DIR] | empty DIR COUNT PREFIX | lists OLD NEW COUNT DUPLICATES DELETED | numbered LIST COUNT PREFIX one|distinct [killer] | build|build1|verify|update LIST DIR... | opens DIR\n", argv[0]);
  return 254;
}
