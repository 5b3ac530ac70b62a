// The file-backed registry store: typed values, the text limit, atomic
// replacement, concurrent writers, untrusted files, and where hives live.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_registry_store.h"
#include "support/scoped_registry_root.h"

namespace kovra62386::platform {
namespace {

using kovra62386::testing::ScopedEnvironment;
using kovra62386::testing::ScopedRegistryRoot;
using kovra62386::testing::TempDirectory;

constexpr std::string_view kKey = kServerKey;

void write_file(const std::string& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::vector<std::string> files_in(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(PosixRegistryStore, ValuesKeepTheirTypeAndAWrongTypeReadsAsMissing) {
  TempDirectory root;
  PosixRegistryStore store(root.path() + "/hive");
  EXPECT_EQ(store.read_text(kKey, "Host"), std::nullopt);  // no key yet
  EXPECT_EQ(store.read_dword(kKey, "Port"), std::nullopt);

  ASSERT_TRUE(store.write_text(kKey, "Host", "localhost"));
  ASSERT_TRUE(store.write_dword(kKey, "Port", 0xffffffffu));
  EXPECT_EQ(store.read_text(kKey, "Host"), "localhost");
  EXPECT_EQ(store.read_dword(kKey, "Port"), 0xffffffffu);
  EXPECT_EQ(store.read_dword(kKey, "Host"), std::nullopt);
  EXPECT_EQ(store.read_text(kKey, "Port"), std::nullopt);
  EXPECT_EQ(store.read_text(kKey, "Other"), std::nullopt);
  EXPECT_EQ(store.read_text("SOFTWARE\\Other", "Host"), std::nullopt);
  // Value names ignore ASCII case, as registry value names do.
  EXPECT_EQ(store.read_text(kKey, "HOST"), "localhost");

  // Rewriting "Port" as text replaces the number: it is missing as a DWORD.
  ASSERT_TRUE(store.write_text(kKey, "port", "42000"));
  EXPECT_EQ(store.read_dword(kKey, "Port"), std::nullopt);
  EXPECT_EQ(store.read_text(kKey, "Port"), "42000");
  ASSERT_TRUE(store.write_dword(kKey, "Port", 0));
  EXPECT_EQ(store.read_dword(kKey, "Port"), 0u);
}

TEST(PosixRegistryStore, TextMustFitTheBufferWithItsTerminator) {
  TempDirectory root;
  PosixRegistryStore store(root.path());
  const std::string fits(kRegistryTextLimit - 1, 'h');
  ASSERT_TRUE(store.write_text(kKey, "Host", fits));
  EXPECT_EQ(store.read_text(kKey, "Host"), fits);
  ASSERT_TRUE(store.write_text(kKey, "Host", fits + "h"));
  EXPECT_EQ(store.read_text(kKey, "Host"), std::nullopt);
  ASSERT_TRUE(store.write_text(kKey, "Host", ""));
  EXPECT_EQ(store.read_text(kKey, "Host"), "");

  // A text reads as a C string would: up to its first zero byte.
  ASSERT_TRUE(store.write_text(kKey, "Host", std::string("ab\0cd", 5)));
  EXPECT_EQ(store.read_text(kKey, "Host"), "ab");
}

TEST(PosixRegistryStore, EveryByteSurvivesInNamesAndTexts) {
  TempDirectory root;
  PosixRegistryStore store(root.path());
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
  const std::string tricky = "tab\there\nnew\\x41line\\\r#";
  ASSERT_TRUE(store.write_text(kKey, every_byte, every_byte));
  ASSERT_TRUE(store.write_text(kKey, tricky, tricky));
  ASSERT_TRUE(store.write_dword(kKey, "\t", 7));
  EXPECT_EQ(store.read_text(kKey, every_byte), every_byte);
  EXPECT_EQ(store.read_text(kKey, tricky), tricky);
  EXPECT_EQ(store.read_dword(kKey, "\t"), 7u);

  std::vector<RegistryValue> values(1);
  values[0].name = std::string("\0x", 2);
  values[0].text = std::string("\0\xff\\", 3);
  const auto parsed = parse_registry_key(format_registry_key(values));
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0].name, values[0].name);
  EXPECT_EQ(parsed[0].text, values[0].text);
}

TEST(PosixRegistryStore, DeletingLeavesOtherValuesAndNeedsNoKey) {
  TempDirectory root;
  PosixRegistryStore store(root.path() + "/hive");
  const char* const names[] = {"Host", "Port"};
  EXPECT_TRUE(store.delete_values(kKey, names, 2));
  EXPECT_FALSE(std::filesystem::exists(root.path() + "/hive"));

  ASSERT_TRUE(store.write_text(kKey, "Host", "localhost"));
  ASSERT_TRUE(store.write_dword(kKey, "Port", 42000));
  ASSERT_TRUE(store.write_dword(kKey, "Pid", 1234));
  EXPECT_TRUE(store.delete_values(kKey, names, 2));
  EXPECT_EQ(store.read_text(kKey, "Host"), std::nullopt);
  EXPECT_EQ(store.read_dword(kKey, "Port"), std::nullopt);
  EXPECT_EQ(store.read_dword(kKey, "Pid"), 1234u);
  EXPECT_TRUE(store.delete_values(kKey, names, 2));  // already gone
}

TEST(PosixRegistryStore, KeyPathsBecomeOneSafeFileName) {
  EXPECT_EQ(registry_key_file_name("SOFTWARE\\Tessivo\\KOVRA-62386-Server"),
            "SOFTWARE%5CTessivo%5CKOVRA-62386-Server.key");
  EXPECT_EQ(registry_key_file_name("../x/"), "%2E%2E%2Fx%2F.key");
  EXPECT_EQ(registry_key_file_name(""), ".key");
}

TEST(PosixRegistryStore, ReadersSeeOnlyWholeFilesWhileAWriterReplacesThem) {
  TempDirectory root;
  PosixRegistryStore store(root.path());
  const std::string first(1000, 'a');
  const std::string second(1000, 'b');
  ASSERT_TRUE(store.write_text(kKey, "Host", first));

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 100; ++i) {
      EXPECT_TRUE(store.write_text(kKey, "Host", i % 2 ? first : second));
    }
    writing = false;
  });
  int reads = 0;
  while (writing) {
    const auto text = store.read_text(kKey, "Host");
    ASSERT_TRUE(text == first || text == second)
        << "partial or missing value after " << reads << " reads";
    ++reads;
  }
  writer.join();
  // Every temporary file was renamed into place; only the key and its lock
  // file remain.
  auto names = files_in(root.path());
  std::sort(names.begin(), names.end());
  const std::string key_file = registry_key_file_name(kKey);
  EXPECT_EQ(names, (std::vector<std::string>{key_file, key_file + ".lock"}));
}

TEST(PosixRegistryStore, ConcurrentWritersKeepEachOthersValues) {
  TempDirectory root;
  constexpr int kPerWriter = 40;
  auto write_many = [&](char prefix) {
    PosixRegistryStore store(root.path());
    for (int i = 0; i < kPerWriter; ++i) {
      EXPECT_TRUE(store.write_dword(kKey, prefix + std::to_string(i),
                                    static_cast<uint32_t>(i)));
    }
  };
  std::thread a(write_many, 'a');
  std::thread b(write_many, 'b');
  a.join();
  b.join();
  PosixRegistryStore store(root.path());
  for (int i = 0; i < kPerWriter; ++i) {
    EXPECT_EQ(store.read_dword(kKey, "a" + std::to_string(i)),
              static_cast<uint32_t>(i));
    EXPECT_EQ(store.read_dword(kKey, "b" + std::to_string(i)),
              static_cast<uint32_t>(i));
  }
}

TEST(PosixRegistryStore, GarbageLinesAreSkippedAndGoodOnesStillRead) {
  TempDirectory root;
  PosixRegistryStore store(root.path());
  const auto path = store.key_path(kKey);
  write_file(path,
             "sz\tHost\tgood\r\n"
             "garbage without tabs\n"
             "\t\t\n"
             "sz\tA\tbad escape \\q\n"
             "sz\tB\tcut escape \\x4\n"
             "sz\tC\tnot hex \\xZZ\n"
             "sz\tD\ttrailing backslash \\\n"
             "sz\tE\tfour\tfields\n"
             "dword\tF\t4294967296\n"
             "dword\tG\t-1\n"
             "dword\tH\t+5\n"
             "dword\tI\t00000000001\n"
             "dword\tJ\t\n"
             "number\tK\t5\n"
             "dword\tPort\t42000");  // last line without a newline
  EXPECT_EQ(store.read_text(kKey, "Host"), "good");
  EXPECT_EQ(store.read_dword(kKey, "Port"), 42000u);
  for (const char* name : {"A", "B", "C", "D", "E", "K"}) {
    EXPECT_EQ(store.read_text(kKey, name), std::nullopt) << name;
  }
  for (const char* name : {"F", "G", "H", "I", "J", "K"}) {
    EXPECT_EQ(store.read_dword(kKey, name), std::nullopt) << name;
  }
  // A write keeps the good values and drops the garbage.
  ASSERT_TRUE(store.write_text(kKey, "New", "value"));
  EXPECT_EQ(store.read_text(kKey, "Host"), "good");
  EXPECT_EQ(store.read_dword(kKey, "Port"), 42000u);
  EXPECT_EQ(parse_registry_key(format_registry_key({})).size(), 0u);

  // Random bytes: nothing to assert but that reading and writing survive.
  std::mt19937 random(62386);
  for (int round = 0; round < 50; ++round) {
    std::string noise(static_cast<std::size_t>(random() % 4096), '\0');
    for (auto& c : noise) c = static_cast<char>(random() % 8 ? random() : '\t');
    write_file(path, noise);
    (void)store.read_text(kKey, "Host");
    (void)store.read_dword(kKey, "Port");
  }
  EXPECT_TRUE(store.write_dword(kKey, "Port", 1));
  EXPECT_EQ(store.read_dword(kKey, "Port"), 1u);
}

TEST(PosixRegistryStore, OversizedOrOddKeyFilesDoNotHangOrOverflow) {
  TempDirectory root;
  PosixRegistryStore store(root.path());
  const auto path = store.key_path(kKey);

  // Only the first kMaxFileSize bytes count; a line cut there is dropped.
  std::string big = "dword\tBefore\t1\n";
  big += "sz\tCut\t";
  big += std::string(PosixRegistryStore::kMaxFileSize, 'x');
  big += "\ndword\tAfter\t2\n";
  write_file(path, big);
  EXPECT_EQ(store.read_dword(kKey, "Before"), 1u);
  EXPECT_EQ(store.read_text(kKey, "Cut"), std::nullopt);
  EXPECT_EQ(store.read_dword(kKey, "After"), std::nullopt);

  // A FIFO in place of the key file must not block the reader.
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(store.read_text(kKey, "Host"), std::nullopt);
  EXPECT_FALSE(store.write_text(kKey, "Host", "x"));  // not replaced blindly
  std::filesystem::remove(path);

  // A directory in its place reads as a missing key.
  std::filesystem::create_directory(path);
  EXPECT_EQ(store.read_dword(kKey, "Port"), std::nullopt);
  EXPECT_FALSE(store.write_dword(kKey, "Port", 1));

  // No root (no home folder known): nothing reads, nothing is written.
  PosixRegistryStore nowhere("");
  EXPECT_FALSE(nowhere.write_text(kKey, "Host", "x"));
  EXPECT_EQ(nowhere.read_text(kKey, "Host"), std::nullopt);
}

TEST(PosixRegistryStore, HivesLiveBelowTheRootVariableAndStaySeparate) {
  ScopedRegistryRoot root;
  Platform& platform = system_platform();
  ASSERT_TRUE(platform.write_text(Hive::CurrentUser, "Host", "user"));
  ASSERT_TRUE(
      platform.write_text(Hive::LocalMachine, "InstallLocation", "/opt/kovra"));
  EXPECT_EQ(platform.read_text(Hive::CurrentUser, "Host"), "user");
  EXPECT_EQ(platform.read_text(Hive::LocalMachine, "Host"), std::nullopt);
  EXPECT_EQ(platform.read_text(Hive::CurrentUser, "InstallLocation"),
            std::nullopt);
  EXPECT_EQ(platform.read_text(Hive::LocalMachine, "InstallLocation"),
            "/opt/kovra");
  const std::string file = registry_key_file_name(kServerKey);
  EXPECT_TRUE(
      std::filesystem::exists(root.path() + "/HKEY_CURRENT_USER/" + file));
  EXPECT_TRUE(
      std::filesystem::exists(root.path() + "/HKEY_LOCAL_MACHINE/" + file));

  const char* const names[] = {"Host"};
  platform.delete_values(Hive::LocalMachine, names, 1);
  EXPECT_EQ(platform.read_text(Hive::CurrentUser, "Host"), "user");
  platform.delete_values(Hive::CurrentUser, names, 1);
  EXPECT_EQ(platform.read_text(Hive::CurrentUser, "Host"), std::nullopt);
}

TEST(PosixRegistryStore, HiveRootsWithoutTheVariable) {
  ScopedEnvironment no_root("KOVRA62386_REGISTRY_ROOT", nullptr);
  EXPECT_EQ(registry_hive_root(Hive::LocalMachine),
            "/etc/kovra62386/registry/HKEY_LOCAL_MACHINE");
  {
    ScopedEnvironment config("XDG_CONFIG_HOME", "/config/home");
    EXPECT_EQ(registry_hive_root(Hive::CurrentUser),
              "/config/home/kovra62386/registry/HKEY_CURRENT_USER");
  }
  // A relative XDG_CONFIG_HOME is ignored, as the XDG rules say.
  ScopedEnvironment relative("XDG_CONFIG_HOME", "relative");
  ScopedEnvironment home("HOME", "/home/someone");
  EXPECT_EQ(registry_hive_root(Hive::CurrentUser),
            "/home/someone/.config/kovra62386/registry/HKEY_CURRENT_USER");
  ScopedEnvironment empty_root("KOVRA62386_REGISTRY_ROOT", "");
  EXPECT_EQ(registry_hive_root(Hive::CurrentUser),
            "/home/someone/.config/kovra62386/registry/HKEY_CURRENT_USER");
}

}  // namespace
}  // namespace kovra62386::platform

#endif  // !_WIN32
