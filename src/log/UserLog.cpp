// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/UserLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

void appendField(QByteArray& line, const char* text)
{
    const int start = line.size();
    line.append(text);
    for (int i = start; i < line.size(); ++i) {
        if (line[i] == '\r' || line[i] == '\n')
            line[i] = '?';
    }
}

// Bytes written; fewer than `size` when the write failed (errno tells why).
qsizetype writeAll(int fd, const char* data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

// What ends a line cut short at the file's end: nothing, its missing LF, or a whole CR LF.
const char* missingLineEnd(int fd)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size == 0)
        return "";
    char last = '\n';
    if (::pread(fd, &last, 1, info.st_size - 1) != 1 || last == '\n')
        return "";
    return last == '\r' ? "\n" : "\r\n";
}

} // namespace

QByteArray formatLogLine(const EventRecord& record)
{
    QByteArray line;
    line.reserve(140);
    appendField(line, record.EventTime);
    line.append("  ");
    appendField(line, record.Date);
    line.append("  ");
    line.append(FormatIPAddress(record.ServerIPAddress));
    line.append("  ");
    appendField(line, record.Username);
    line.append("  ");
    line.append(eventKeyword(record.EventCode));
    line.append("\r\n");
    return line;
}

int appendLogText(const QByteArray& path, const QByteArray& lines, int* errorOut, qsizetype* writtenOut)
{
    if (writtenOut)
        *writtenOut = 0;
    int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0 && errno == EACCES) // a file we may append to but not read: skip the end check
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        if (errorOut)
            *errorOut = errno;
        return -1;
    }
    const char* mend = missingLineEnd(fd);
    const qsizetype mendLength = qsizetype(std::strlen(mend));
    qsizetype done = 0;
    if (writeAll(fd, mend, mendLength) == mendLength)
        done = writeAll(fd, lines.constData(), lines.size());
    const bool written = done == lines.size();
    const int writeError = errno;
    if (writtenOut)
        *writtenOut = done;
    ::close(fd);
    if (!written && errorOut)
        *errorOut = writeError;
    return written ? 0 : -1;
}

int checkLogWritable(const QByteArray& path)
{
    struct stat info;
    if (::stat(path.constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return EISDIR;
        return ::faccessat(AT_FDCWD, path.constData(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
    }
    if (errno != ENOENT)
        return errno;
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    return ::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int AppendLogLine(const QByteArray& path, const EventRecord& record)
{
    return appendLogText(path, formatLogLine(record));
}
