// The builds of a module's store directory (Updater::Get_BuildListLocal): the key each file
// gives, the version its descriptor names, what is left out, and which file wins a key.

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "Updater.h"
#include "bird_gen.h"
#include "server_command_test_support.h"
#include "support.h"

namespace {

using namespace server_test;

// The names in a directory in the order the file system lists them.
std::vector<std::string> ListingOrder(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

class LocalBuilds : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(ModuleDir().c_str(), 0755), 0); }

  std::string ModuleDir() const { return store.file(kSerialText); }
  std::string File(const std::string& name) const { return ModuleDir() + "/" + name; }

  TempDir store;
  ServerDisplay display;
  Updater updater{"", store.path().c_str(), display};
};

TEST_F(LocalBuilds, EachFileGivesItsKeyAndItsDescriptorsVersion) {
  ASSERT_TRUE(Firmware("900", "1.2.3").write(File("900.bird")));
  ASSERT_TRUE(Firmware("900", "9.9.9").write(File("900.bird.old")));
  ASSERT_TRUE(Firmware("1100", "").write(File("1100.bird")));
  // A firmware file's header in front of a body that does not inflate.
  ASSERT_TRUE(birdgen::WriteFile(File("950.bird"), birdgen::NonZlibBody(200, 3)));
  std::ofstream(File("notes.txt")) << "not firmware";
  ASSERT_EQ(mkdir(File("archive").c_str(), 0755), 0);
  // Hidden entries are no builds: the attribute file, a download being checked.
  ASSERT_TRUE(Firmware("1300", "1.3.0").write(File(".1300.bird.123.check")));

  const BuildList builds = updater.Get_BuildListLocal(kSerial);

  // 900 comes from whichever of its two files the directory lists first.
  std::string version900;
  for (const std::string& name : ListingOrder(ModuleDir()))
    if (version900.empty() && (name == "900.bird" || name == "900.bird.old"))
      version900 = name == "900.bird" ? "1.2.3" : "9.9.9";
  // Builds are regular files: the directory "archive" is none.
  EXPECT_EQ(builds, (BuildList{{"900", version900}, {"950", ""}, {"1100", ""}, {"notes.txt", ""}}));
  EXPECT_EQ(display.errors, std::vector<std::string>{});
  // Listing reads only: nothing is added or removed, and a listed directory gets no
  // attribute file.
  EXPECT_EQ(Entries(ModuleDir()),
            (std::vector<std::string>{".1300.bird.123.check", ".settings", "1100.bird", "900.bird",
                                      "900.bird.old", "950.bird", "archive", "notes.txt"}));
  EXPECT_EQ(Entries(File("archive")), std::vector<std::string>{});
}

TEST_F(LocalBuilds, AFifoIsNotListedAndNotWaitedOn) {
  ASSERT_TRUE(Firmware("900", "1.2.3").write(File("900.bird")));
  ASSERT_EQ(mkfifo(File("1000.bird").c_str(), 0600), 0);

  EXPECT_EQ(updater.Get_BuildListLocal(kSerial), (BuildList{{"900", "1.2.3"}}));
  EXPECT_EQ(display.errors, std::vector<std::string>{});
}

TEST_F(LocalBuilds, AModuleWithoutAStoreEntryHasNone) {
  EXPECT_EQ(updater.Get_BuildListLocal(0x0BADF00D), BuildList{});
  EXPECT_EQ(Entries(store.path()), std::vector<std::string>{kSerialText});
}

TEST_F(LocalBuilds, AStoreThatCannotBeOpenedGivesNone) {
  const std::string plain = store.file("plain");
  std::ofstream(plain) << "a file where the store should be";
  Updater misplaced("", plain.c_str(), display);

  EXPECT_EQ(misplaced.Get_BuildListLocal(kSerial), BuildList{});
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0].rfind(
                "Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0),
            0u)
      << display.errors[0];
}

}  // namespace
