#pragma once
// Running ftpdrive as a separate program and reading what it printed, for the tests that drive the
// FTP component through it.
#include <QByteArray>
#include <QCoreApplication>
#include <QProcess>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ftpdrivetest {

inline std::string FtpdrivePath()
{
    if (const char* build = std::getenv("TAVOLEN_BUILD_DIR"))
        return std::string(build) + "/tools/ftpdrive";
    return QCoreApplication::applicationDirPath().toStdString() + "/../tools/ftpdrive";
}

inline std::vector<std::string> SplitLines(const QByteArray& bytes)
{
    std::vector<std::string> lines;
    for (const QByteArray& line : bytes.split('\n'))
        if (!line.isEmpty()) lines.push_back(line.toStdString());
    return lines;
}

struct Drive {
    int exitCode = -1;
    std::vector<std::string> out;
    std::vector<std::string> err;

    size_t Count(const std::string& line) const
    {
        return static_cast<size_t>(std::count(out.begin(), out.end(), line));
    }
    bool Has(const std::string& line) const { return Count(line) > 0; }
    size_t CountContaining(const std::string& text) const
    {
        return static_cast<size_t>(std::count_if(out.begin(), out.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
};

// `environment`: variables set for the run on top of the test's own, or removed (nullopt).
inline Drive RunFtpdrive(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::optional<std::string>>& environment = {})
{
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : environment) {
        if (value)
            variables.insert(QString::fromStdString(name), QString::fromStdString(*value));
        else
            variables.remove(QString::fromStdString(name));
    }
    process.setProcessEnvironment(variables);
    QStringList args;
    for (const std::string& a : arguments) args << QString::fromStdString(a);
    process.start(QString::fromStdString(FtpdrivePath()), args);
    Drive result;
    // Bounded: a hung client must fail the test, not stall the suite.
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "ftpdrive did not finish";
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = SplitLines(process.readAllStandardOutput());
    result.err = SplitLines(process.readAllStandardError());
    return result;
}

inline std::string Dump(const Drive& d)
{
    std::string text = "exit " + std::to_string(d.exitCode) + "\n";
    for (const auto& l : d.out) text += "  " + l + "\n";
    for (const auto& l : d.err) text += "  ! " + l + "\n";
    return text;
}

} // namespace ftpdrivetest
