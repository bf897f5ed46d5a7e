#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "core/exceptions.h"
#include "core/streams.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(FileStream, ReadsShortAtEndAndExactReadsFailThere) {
    TempDir dir;
    {
        TFileStream out(dir / "a.bin", TFileStream::fmCreate);
        out.WriteBuffer("hello", 5);
        EXPECT_EQ(out.Size(), 5);
        // A failing seek says which way the stream was going.
        EXPECT_THROW(out.Seek(-1, TSeekOrigin::soBeginning), EWriteError);
    }
    TFileStream in(dir / "a.bin", TFileStream::fmOpenRead);
    char buf[16] = {};
    EXPECT_EQ(in.Read(buf, 16), 5);
    EXPECT_EQ(in.Read(buf, 16), 0);
    in.SetPosition(1);
    in.ReadBuffer(buf, 4);
    EXPECT_EQ(std::string(buf, 4), "ello");
    in.SetPosition(3);
    EXPECT_THROW(in.ReadBuffer(buf, 3), EReadError);
    EXPECT_THROW(in.Seek(-1, TSeekOrigin::soBeginning), EReadError);
}

TEST(FileStream, OpenAndCreateFailuresNameTheFile) {
    TempDir dir;
    try {
        TFileStream s(dir / "missing", TFileStream::fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + (dir / "missing"));
    }
    try {
        TFileStream s(dir / "no/such/folder", TFileStream::fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file " + (dir / "no/such/folder"));
    }
}

TEST(FileStream, ReadingAcceptsRegularFilesOnly) {
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    // Neither waits nor reads: each is an open error naming the file.
    for (const std::string& name : {dir / "folder", dir / "pipe", std::string("/dev/zero")}) {
        try {
            TFileStream s(name, TFileStream::fmOpenRead);
            ADD_FAILURE() << name;
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.Message(), "Cannot open file " + name);
        }
    }
}

TEST(FileStream, CreateTruncatesAnExistingFile) {
    TempDir dir;
    { TFileStream(dir / "t", TFileStream::fmCreate).WriteBuffer("0123456789", 10); }
    TFileStream again(dir / "t", TFileStream::fmCreate);
    EXPECT_EQ(again.Size(), 0);
}

TEST(FileStream, AFullDeviceIsAWriteError) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    TFileStream full("/dev/full", TFileStream::fmOpenReadWrite);
    EXPECT_THROW(full.WriteBuffer("x", 1), EWriteError);
}

TEST(MemoryStream, GrowsOnWriteAndSeeksPastTheEnd) {
    TMemoryStream m;
    m.WriteBuffer("abc", 3);
    m.Seek(5, TSeekOrigin::soBeginning);
    m.WriteBuffer("z", 1);
    ASSERT_EQ(m.Size(), 6);
    EXPECT_EQ(m.Data()[3], 0);
    m.SetPosition(0);
    char buf[8];
    EXPECT_EQ(m.Read(buf, 8), 6);
    EXPECT_EQ(m.Read(buf, 8), 0);
}

TEST(Exceptions, MessagesOfTheTextFileErrors) {
    EXPECT_EQ(EInOutError(EACCES).Message(), "File access denied");
    EXPECT_EQ(EInOutError(EIO).Message(), "I/O error " + std::to_string(EIO));
    EXPECT_EQ(EJPEG(53).Message(), "JPEG error #53");
    EXPECT_EQ(EConvertError::CannotAssign("TJPEGImage", "TFoo").Message(),
              "Cannot assign a TJPEGImage to a TFoo");
}

}  // namespace
