#pragma once

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvu::test {

// A chain of directories whose deepest paths exceed PATH_MAX, so no watch can be added there.
// Built and removed through directory descriptors, which path-based helpers cannot do.
class DeepChain {
public:
    explicit DeepChain(const QString &base) : m_name(200, 'd') {
        m_fds.push_back(::open(QFile::encodeName(base).constData(), O_DIRECTORY | O_CLOEXEC));
        for (qsizetype length = base.size(); length < 4400;
             length += qsizetype(m_name.size()) + 1) {
            if (::mkdirat(m_fds.back(), m_name.c_str(), 0700) != 0)
                return;
            m_fds.push_back(::openat(m_fds.back(), m_name.c_str(), O_DIRECTORY | O_CLOEXEC));
        }
    }
    ~DeepChain() {
        for (std::size_t i = m_fds.size() - 1; i > 0; --i) {
            ::close(m_fds[i]);
            ::unlinkat(m_fds[i - 1], m_name.c_str(), AT_REMOVEDIR);
        }
        ::close(m_fds.front());
    }
    bool complete() const { return m_fds.size() > 20 && m_fds.back() >= 0; }

private:
    std::string m_name;
    std::vector<int> m_fds;
};

} // namespace orvu::test
