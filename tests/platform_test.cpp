// The platform layer as the core uses it, on each OS: the temporary file's
// name and creation, 64-bit positions, time and process ids.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#ifdef _WIN32
#include <direct.h>
#else
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "download/download_job.h"
#include "platform/platform.h"
#include "platform/stopwatch.h"

namespace {

platform::PathString Path(const std::string& ascii) { return platform::PathString(ascii.begin(), ascii.end()); }

// A file of our own next to where the installer goes.
platform::PathString Scratch() { return platform::TempInstallerPath(GetNameId()) + Path(".platform-test"); }

}  // namespace

TEST(Platform, InstallerPathIsInTheTemporaryFolder) {
    const platform::PathString path = platform::TempInstallerPath(42421234);
    const platform::PathString tail = Path("toviksetup42421234.tmp");
    ASSERT_GT(path.size(), tail.size());
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
#ifdef _WIN32
    EXPECT_EQ(path[path.size() - tail.size() - 1], L'\\');
#else
    EXPECT_EQ(path[path.size() - tail.size() - 1], '/');
#endif
    EXPECT_EQ(platform::TempInstallerPath(-5).substr(path.size() - tail.size()), Path("toviksetup-5.tmp"));
}

#ifdef _WIN32
// A temporary folder too long for its buffer gives no path, not a cut one.
TEST(Platform, TemporaryFolderThatDoesNotFitGivesNoPath) {
    const std::wstring saved = _wgetenv(L"TMP") ? _wgetenv(L"TMP") : L"";
    _wputenv_s(L"TMP", (L"C:\\" + std::wstring(300, L'x')).c_str());
    EXPECT_TRUE(platform::TempInstallerPath(42421234).empty());
    _wputenv_s(L"TMP", saved.c_str());
}
#endif

TEST(Platform, CreatedFileIsTruncatedAndTakesPositionsPastFourGibibytes) {
    const platform::PathString path = Scratch();
    std::FILE* file = platform::CreateFileForWriting(path);
    ASSERT_NE(file, nullptr);
    std::fputs("old content", file);
    std::fclose(file);

    file = platform::CreateFileForWriting(path);
    ASSERT_NE(file, nullptr);
    const std::int64_t beyond = (std::int64_t{1} << 32) + 12345;  // past what 32 bits can say
    ASSERT_TRUE(platform::SeekFile(file, beyond));
    std::fputc('Z', file);
    ASSERT_TRUE(platform::SeekFile(file, 0));
    std::fputc('A', file);
    ASSERT_EQ(std::fclose(file), 0);

    file = platform::OpenFileForReading(path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fgetc(file), 'A');
    EXPECT_EQ(std::fgetc(file), 0);  // "old content" is gone
    ASSERT_TRUE(platform::SeekFile(file, beyond));
    EXPECT_EQ(std::fgetc(file), 'Z');
    EXPECT_EQ(std::fgetc(file), EOF);
    std::fclose(file);
#ifdef _WIN32
    _wremove(path.c_str());
#else
    std::remove(path.c_str());
#endif
}

// The kept download of a release: one run holds it, it is cut to what is
// kept, and renamed once verified; other releases' partials go.
TEST(Platform, PartialFileIsHeldCutRenamedAndOthersGo) {
    const std::string hash(64, 'd');
    const platform::PathString partial = platform::TempPartialPath(hash);
    const platform::PathString name = Path("toviksetup-" + hash + ".part");
    ASSERT_GT(partial.size(), name.size());
    EXPECT_EQ(partial.substr(partial.size() - name.size()), name);
    const platform::PathString other = platform::TempPartialPath(std::string(64, 'e'));
    const platform::PathString unlike = platform::TempPartialPath(std::string(64, 'e')) + Path("x");
    for (const platform::PathString& path : {other, unlike}) std::fclose(platform::CreateFileForWriting(path));

    std::FILE* file = platform::OpenPartialFile(partial);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform::OpenPartialFile(partial), nullptr) << "a second run takes it up";
    EXPECT_EQ(platform::FileLength(file), 0);
    ASSERT_EQ(std::fwrite("0123456789", 1, 10, file), 10u);
    ASSERT_TRUE(platform::TruncateFile(file, 6));
    EXPECT_EQ(platform::FileLength(file), 6);
    ASSERT_TRUE(platform::SeekFile(file, 0));
    char kept[8] = {};
    EXPECT_EQ(std::fread(kept, 1, sizeof kept, file), 6u);
    EXPECT_STREQ(kept, "012345");

    platform::RemoveOtherPartials(partial);
    EXPECT_EQ(platform::OpenFileForReading(other), nullptr);
    std::FILE* still = platform::OpenFileForReading(unlike);
    EXPECT_NE(still, nullptr) << "only names of the partials' shape go";
    if (still) std::fclose(still);
    platform::RemoveFile(unlike);

    const platform::PathString target = Scratch() + Path(".handed-over");
    ASSERT_TRUE(platform::CloseAndRename(file, partial, target));
    EXPECT_EQ(platform::OpenFileForReading(partial), nullptr);
    file = platform::OpenFileForReading(target);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform::FileLength(file), 6);
    std::fclose(file);
    platform::RemoveFile(target);
}

TEST(Platform, WholeFileIsWrittenWholeOrNotAtAll) {
    const platform::PathString path = Scratch() + Path(".report");
    ASSERT_TRUE(platform::WriteWholeFile(path, "first, longer content"));
    ASSERT_TRUE(platform::WriteWholeFile(path, "second"));
    std::FILE* file = platform::OpenFileForReading(path);
    ASSERT_NE(file, nullptr);
    char text[64] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, file), 6u);
    EXPECT_STREQ(text, "second");
    std::fclose(file);

    // A missing folder, or a folder at the path: false, and nothing left behind.
    const platform::PathString folder = Scratch() + Path(".folder");
#ifdef _WIN32
    _wmkdir(folder.c_str());
    const platform::PathString separator = L"\\";
#else
    ::mkdir(folder.c_str(), 0700);
    const platform::PathString separator = "/";
#endif
    EXPECT_FALSE(platform::WriteWholeFile(folder + separator + Path("missing") + separator + Path("r.ini"), "x"));
    EXPECT_FALSE(platform::WriteWholeFile(folder, "x"));
    EXPECT_EQ(platform::OpenFileForReading(folder + separator + Path("missing")), nullptr);
#ifdef _WIN32
    _wrmdir(folder.c_str());
    _wremove(path.c_str());
#else
    EXPECT_EQ(::rmdir(folder.c_str()), 0) << "the folder holds nothing we left";
    std::remove(path.c_str());
#endif
}

#ifndef _WIN32
// A caller polling the path sees no report, the old one or the new one, never a part.
TEST(Platform, ReaderNeverSeesAPartOfTheFile) {
    const platform::PathString path = Scratch() + Path(".polled");
    const std::string versions[] = {std::string(200000, 'a'), std::string(300000, 'b')};
    std::atomic<bool> done{false};
    std::atomic<int> partial{0};
    std::thread reader([&] {
        while (!done) {
            std::ifstream in(path, std::ios::binary);
            if (!in) continue;
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (text != versions[0] && text != versions[1]) ++partial;
        }
    });
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(platform::WriteWholeFile(path, versions[i % 2]));
    done = true;
    reader.join();
    EXPECT_EQ(partial.load(), 0);
    std::remove(path.c_str());
}

// Where the report goes in the callers' world: each case prepares a folder as
// root, maybe holding something at the path already, then runs as it says.
struct ReportPlace {
    const char* name;
    mode_t folderMode;
    bool asNobody;   // the program runs as another user than the folder's
    bool smallDisk;  // a 1 MiB disk, full by the time the report is written
    std::size_t nameLength;
    const char* before;  // at the path beforehand: "nothing", "report", "read-only report", "device"
    platform::Claim claim;
};

void PrintTo(const ReportPlace& place, std::ostream* out) { *out << place.name; }

class ReportPlaces : public ::testing::TestWithParam<ReportPlace> {};

TEST_P(ReportPlaces, HoldThisRunsReportWholeAndNoOther) {
    const ReportPlace& place = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: other users' folders and a disk of its own";
    char base[] = "/tmp/tovik-place-XXXXXX";
    const std::string folder = ::mkdtemp(base);
    if (place.smallDisk && ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    ::chmod(folder.c_str(), place.folderMode);
    const std::string path = folder + "/" + std::string(place.nameLength - 4, 'r') + ".ini";
    const std::string before = place.before;
    const std::string earlier = "[tovikdownload]\r\nstatus=ok";
    if (before == "device") {
        ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    } else if (before != "nothing") {
        std::ofstream(path) << earlier;
        ::chmod(path.c_str(), before == "report" ? 0666 : 0644);
    }
    struct stat was {};
    ::lstat(path.c_str(), &was);
    const auto read = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (place.asNobody) {
        ASSERT_TRUE(::setegid(65534) == 0 && ::seteuid(65534) == 0);
    }

    EXPECT_EQ(platform::ClaimWholeFile(path, 100), place.claim);
    struct stat now {};
    const bool there = ::lstat(path.c_str(), &now) == 0;
    if (before != "nothing") {
        EXPECT_TRUE(there && now.st_ino == was.st_ino) << "what was there is kept";
    }
    if (place.claim != platform::Claim::kClaimed) {
        EXPECT_EQ(now.st_mode, was.st_mode);
        if (before != "device") {
            EXPECT_EQ(read(), earlier) << "left as it was";
        }
    } else {
        EXPECT_EQ(read(), "") << "an earlier report could pass for this run's";
        if (place.smallDisk) {
            std::ofstream filler(folder + "/filler");
            const std::string block(65536, 'x');
            while (filler << block && filler.flush()) {
            }
            EXPECT_FALSE(platform::WriteWholeFile(folder + "/unprepared.ini", "whole or nothing"));
            EXPECT_NE(::access((folder + "/unprepared.ini").c_str(), F_OK), 0);
        }
        const std::string report = "[tovikdownload]\r\nstatus=cancel\r\nfileSize=0";
        EXPECT_TRUE(platform::WriteWholeFile(path, report));
        EXPECT_EQ(read(), report);
        if (before != "nothing") {
            EXPECT_TRUE(::lstat(path.c_str(), &now) == 0 && now.st_ino == was.st_ino) << "written in place";
        }
    }
    std::string left;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().string().find(".part") != std::string::npos) left += entry.path().string();
    EXPECT_EQ(left, "") << "nothing left beside it";

    if (place.asNobody) {
        ASSERT_TRUE(::seteuid(0) == 0 && ::setegid(0) == 0);
    }
    if (place.smallDisk) ::umount2(folder.c_str(), MNT_DETACH);
    std::system(("rm -rf " + folder).c_str());
}

using platform::Claim;
INSTANTIATE_TEST_SUITE_P(
    Cases, ReportPlaces,
    ::testing::Values(
        ReportPlace{"full_disk", 0755, false, true, 20, "report", Claim::kClaimed},
        ReportPlace{"full_disk_new_file", 0755, false, true, 20, "nothing", Claim::kClaimed},
        ReportPlace{"folder_only_the_file_may_be_written_in", 0755, true, false, 20, "report", Claim::kClaimed},
        ReportPlace{"sticky_folder_and_the_callers_file", 01777, true, false, 20, "report", Claim::kClaimed},
        ReportPlace{"name_at_the_length_limit", 0755, false, false, 255, "report", Claim::kClaimed},
        ReportPlace{"new_name_too_long_for_a_beside_name", 0755, false, false, 252, "nothing", Claim::kClaimed},
        ReportPlace{"another_users_read_only_report", 01777, true, false, 20, "read-only report", Claim::kCannotEmpty},
        ReportPlace{"device_node", 0755, false, false, 20, "device", Claim::kNotRegular}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

TEST(Platform, Sha256OfKnownTextsAndOfCopies) {
    const auto hex = [](const std::string& digest) {
        std::string text;
        for (const char byte : digest) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(byte));
            text += pair;
        }
        return text;
    };
    platform::Sha256 ab;
    ab.Add("ab", 2);
    platform::Sha256 abc(ab);  // a copy goes on from the state so far; the original stays
    abc.Add("c", 1);
    EXPECT_EQ(hex(abc.Digest()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(ab.Digest()), "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");
    ab = abc;
    EXPECT_EQ(ab.Digest(), abc.Digest());
    EXPECT_EQ(hex(platform::Sha256().Digest()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Platform, ClockCounterAndProcessId) {
    EXPECT_NEAR(static_cast<double>(platform::CalendarSeconds()), static_cast<double>(std::time(nullptr)), 2.0);
    EXPECT_NE(platform::ProcessId(), 0u);
    EXPECT_GT(platform::PerformanceFrequency(), 0.0);
    Stopwatch watch;
    platform::SleepMilliseconds(50);
    const double elapsed = watch.ElapsedMilliseconds();
    EXPECT_GE(elapsed, 45.0);
    EXPECT_LT(elapsed, 5000.0);
    // process id * 10000 + seconds modulo 10000, wrapping in 32 bits
    EXPECT_LT(static_cast<std::uint32_t>(GetNameId()) - platform::ProcessId() * 10000u, 10000u);
}

// A Monitor between a detached thread and this one, as the digest and the
// standard error queue use it: every value handed over once, in order.
TEST(Platform, ThreadsHandOverThroughAMonitor) {
    struct Shared {
        platform::Monitor monitor;
        int slot = 0;  // 0: empty
    };
    auto shared = std::make_shared<Shared>();
    ASSERT_TRUE(platform::StartDetachedThread([shared] {
        for (int value = 1; value <= 2000; ++value) {
            std::lock_guard<platform::Monitor> hold(shared->monitor);
            shared->monitor.WaitUntil([&] { return shared->slot == 0; });
            shared->slot = value;
            shared->monitor.NotifyAll();
        }
    }));
    for (int expected = 1; expected <= 2000; ++expected) {
        std::lock_guard<platform::Monitor> hold(shared->monitor);
        shared->monitor.WaitUntil([&] { return shared->slot != 0; });
        ASSERT_EQ(shared->slot, expected);
        shared->slot = 0;
        shared->monitor.NotifyAll();
    }
}
