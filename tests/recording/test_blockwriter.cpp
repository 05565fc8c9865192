// The block writer on a file that writes at most a few bytes a call, or fails at a chosen
// call, with the blocks all queued before the first write goes on.

#include "recording/blockwriter.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>

namespace {

class ScriptedFile : public QFile {
  public:
    ScriptedFile(const QString& name, int failingCall, qint64 mostPerCall)
        : QFile(name), failingCall(failingCall), mostPerCall(mostPerCall) {}

    // Lets the first write go on.
    void release() {
        std::lock_guard lock(mutex);
        opened = true;
        changed.notify_all();
    }
    int calls = 0; // read once the writer is idle

  protected:
    qint64 writeData(const char* data, qint64 length) override {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return opened; });
        }
        if (++calls == failingCall) return -1;
        return QFile::writeData(data, std::min(length, mostPerCall));
    }

  private:
    const int failingCall;
    const qint64 mostPerCall;
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
};

TEST(BlockWriter, BlocksGoInOrderAndAFailedOneDropsThoseQueuedAfterIt) {
    const struct {
        const char* name;
        int failingCall;    // 0: none
        qint64 mostPerCall; // bytes
        std::string file;
        bool whole;
        int calls;
    } cases[] = {
        {"every block whole", 0, 1000, "aaaabbbbbbccdddddddd", true, 4},
        {"short writes go on", 0, 3, "aaaabbbbbbccdddddddd", true, 8},
        {"the second block fails", 2, 1000, "aaaa", false, 2},
        {"a block fails after a part of it", 4, 3, "aaaabbb", false, 4},
    };
    const std::string blocks[] = {"aaaa", "bbbbbb", "cc", "dddddddd"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        ScriptedFile file(folder.filePath("blocks"), c.failingCall, c.mostPerCall);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        BlockWriter writer;
        for (const std::string& block : blocks)
            writer.start(file, block.data(), qint64(block.size()));
        file.release();
        EXPECT_EQ(writer.wait(0), c.whole);
        EXPECT_EQ(writer.wait(0), true) << "a failure is told once";
        EXPECT_EQ(file.calls, c.calls);
        EXPECT_EQ(writer.bytesWritten(), c.whole ? 20 : 4) << "blocks written whole";
        file.close();
        QFile written(file.fileName());
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_EQ(written.readAll().toStdString(), c.file);
    }
}

} // namespace
