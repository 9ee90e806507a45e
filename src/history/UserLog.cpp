#include "history/UserLog.h"

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

bool writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
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

int appendLogText(const QByteArray& path, const QByteArray& lines, int* errorOut)
{
    int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) // a file we may append to but not read: skip the end check
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        if (errorOut)
            *errorOut = errno;
        return -1;
    }
    const char* mend = missingLineEnd(fd);
    const bool written =
        writeAll(fd, mend, qsizetype(std::strlen(mend))) && writeAll(fd, lines.constData(), lines.size());
    const int writeError = errno;
    ::close(fd);
    if (!written && errorOut)
        *errorOut = writeError;
    return written ? 0 : -1;
}

int AppendLogLine(const QByteArray& path, const EventRecord& record)
{
    return appendLogText(path, formatLogLine(record));
}
