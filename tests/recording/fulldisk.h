#pragma once
// A disk with little room left, shared by the files a writer makes on it, and the writers
// that put their data there. Space is taken in 512-byte blocks, as a file system does: a
// write into blocks not yet taken needs room, overwriting taken blocks does not, and
// shrinking a file frees its blocks. A write that does not fit writes what does; the next
// one fails with the system's own "no space left" error, through Qt's own error path.

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <set>

namespace kv4test {

class FullDisk {
  public:
    // `room` bytes can still be taken.
    explicit FullDisk(qint64 room) : shared(std::make_shared<Shared>(room)) {}

    std::unique_ptr<QFile> newFile() const { return std::make_unique<File>(shared); }

    static bool available() { return QFile::exists("/dev/full"); }
    // From now on only `room` bytes more can be taken, as if something else had filled the disk.
    void leaveRoom(qint64 room) const {
        QMutexLocker lock(&shared->mutex);
        shared->freeBlocks = room / blockSize;
    }

  private:
    static constexpr qint64 blockSize = 512;

    struct Shared {
        explicit Shared(qint64 room) : freeBlocks(room / blockSize) {}
        QMutex mutex;
        qint64 freeBlocks;
    };

    class File : public QFile {
      public:
        explicit File(std::shared_ptr<Shared> shared) : shared(std::move(shared)) {}

        bool resize(qint64 size) override {
            if (!QFile::resize(size)) return false;
            QMutexLocker lock(&shared->mutex);
            const auto freed = blocks.lower_bound((size + blockSize - 1) / blockSize);
            shared->freeBlocks += qint64(std::distance(freed, blocks.end()));
            blocks.erase(freed, blocks.end());
            return true;
        }

      protected:
        qint64 writeData(const char* data, qint64 length) override {
            const qint64 at = ::lseek(handle(), 0, SEEK_CUR);
            qint64 fits = 0; // bytes from `at` whose blocks can be had
            {
                QMutexLocker lock(&shared->mutex);
                for (qint64 block = at / blockSize; fits < length; block++) {
                    if (!blocks.count(block)) {
                        if (shared->freeBlocks == 0) break;
                        shared->freeBlocks--;
                        blocks.insert(block);
                    }
                    fits = std::min(length, (block + 1) * blockSize - at);
                }
            }
            if (fits > 0) return QFile::writeData(data, fits);
            // The write goes to the full device instead, and fails there as on a full disk.
            const int full = ::open("/dev/full", O_WRONLY);
            const int file = ::dup(handle());
            ::dup2(full, handle());
            const qint64 written = QFile::writeData(data, length);
            ::dup2(file, handle());
            ::close(file);
            ::close(full);
            return written;
        }

      private:
        const std::shared_ptr<Shared> shared;
        std::set<qint64> blocks; // taken by this file
    };

    std::shared_ptr<Shared> shared;
};

// A writer whose data files lie on `disk`.
template <typename Writer> class WriterOnDisk : public Writer {
  public:
    WriterOnDisk(DeviceDataProducer* producer, const FullDisk& disk) : Writer(producer), disk(disk) {}

  protected:
    std::unique_ptr<QFile> newDataFile() const override { return disk.newFile(); }

  private:
    const FullDisk& disk;
};

} // namespace kv4test
