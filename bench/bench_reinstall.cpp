// Times "Re-install data" through the real window against a baseline that
// does the same work with plain system calls: remove the tree, create the
// folder, copy the files, then one sync of the file system. On Windows the
// baseline is what a player's own copy in Explorer would do: DeleteFileW,
// RemoveDirectoryW, CreateDirectoryW and CopyFileW, with no flush; and a
// durable form of it, which flushes each copy (FlushFileBuffers) as the
// repair does before it says "Done!".
//
//   bench_reinstall [realistic|stress|all] [--rounds N] [--dir FOLDER]
//
// FOLDER must lie on the disk to be measured (the default is the temporary
// folder); the data is made there and removed at the end.
#include "braskrepair.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct Workload
{
    const char *name;
    std::vector<qint64> sizes; // one entry a file, split between dat and sfx
};

Workload realistic()
{
    // About 200 files from 4 KiB to 64 MiB, about 1 GiB in all: sizes spread
    // evenly on a log scale, then scaled to the total.
    Workload w{"realistic", {}};
    QRandomGenerator random(20261208);
    double sum = 0;
    std::vector<double> raw;
    for (int i = 0; i < 200; ++i) {
        raw.push_back(std::exp(std::log(4096.0) + random.generateDouble() * (std::log(64.0 * 1048576) - std::log(4096.0))));
        sum += raw.back();
    }
    for (double size : raw)
        w.sizes.push_back(std::clamp<qint64>(qint64(size * (1024.0 * 1048576) / sum), 4096, 64 * 1048576));
    return w;
}

Workload stress()
{
    return Workload{"stress", std::vector<qint64>(20000, 4096)};
}

void die(const char *what, const std::string &path)
{
    std::fprintf(stderr, "%s %s: %s\n", what, path.c_str(), std::strerror(errno));
    std::exit(1);
}

void makeFile(const QString &path, qint64 size)
{
    static std::vector<char> block(1 << 20);
    static QRandomGenerator random(7);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        die("create", path.toStdString());
    for (qint64 left = size; left > 0;) {
        const qint64 n = std::min<qint64>(left, qint64(block.size()));
        random.fillRange(reinterpret_cast<quint32 *>(block.data()), size_t(n) / 4);
        if (file.write(block.data(), n) != n)
            die("write", path.toStdString());
        left -= n;
    }
}

// ---- the baseline: plain system calls ----

#ifdef Q_OS_WIN

std::wstring wide(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

void removeTree(const std::wstring &folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            removeTree(path);
        else if (!DeleteFileW(path.c_str()))
            die("remove", QString::fromStdWString(path).toStdString());
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (!RemoveDirectoryW(folder.c_str()))
        die("remove", QString::fromStdWString(folder).toStdString());
}

const bool hasDurableBaseline = true;

void flushFile(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE || !FlushFileBuffers(file))
        die("flush", QString::fromStdWString(path).toStdString());
    CloseHandle(file);
}

void baselineCopy(const QString &from, const QString &to, bool durable)
{
    const std::wstring source = wide(from), target = wide(to);
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES)
        removeTree(target);
    if (!CreateDirectoryW(target.c_str(), nullptr))
        die("mkdir", to.toStdString());
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((source + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        die("list", from.toStdString());
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const std::wstring name = found.cFileName;
        if (!CopyFileW((source + L"\\" + name).c_str(), (target + L"\\" + name).c_str(), TRUE))
            die("copy", QString::fromStdWString(name).toStdString());
        if (durable)
            flushFile(target + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void flushAll(const QString &)
{
}

// Every file of the installation on disk, untimed: each run then removes
// what is on the disk, not data that the last one left in memory.
void settle(const QString &brask)
{
    for (const char *folder : {"/dat", "/sfx"}) {
        const std::wstring target = wide(brask + QLatin1String(folder));
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((target + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                flushFile(target + L"\\" + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
}

#else

// The file-system sync at the end makes every run durable.
const bool hasDurableBaseline = false;

int removeEntry(const char *path, const struct stat *, int type, struct FTW *)
{
    return type == FTW_DP ? ::rmdir(path) : ::unlink(path);
}

void baselineCopy(const QString &fromPath, const QString &toPath, bool)
{
    const std::string from = fromPath.toStdString(), to = toPath.toStdString();
    if (::nftw(to.c_str(), removeEntry, 64, FTW_DEPTH | FTW_PHYS) != 0 && errno != ENOENT)
        die("remove", to);
    if (::mkdir(to.c_str(), 0755) != 0)
        die("mkdir", to);
    static std::vector<char> buffer(1 << 20);
    DIR *dir = ::opendir(from.c_str());
    if (!dir)
        die("opendir", from);
    while (dirent *entry = ::readdir(dir)) {
        if (entry->d_type != DT_REG)
            continue;
        const std::string src = from + '/' + entry->d_name, dst = to + '/' + entry->d_name;
        const int in = ::open(src.c_str(), O_RDONLY);
        const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (in < 0 || out < 0)
            die("open", dst);
        ssize_t n;
        while ((n = ::read(in, buffer.data(), buffer.size())) > 0) {
            if (::write(out, buffer.data(), size_t(n)) != n)
                die("write", dst);
        }
        ::close(in);
        ::close(out);
    }
    ::closedir(dir);
}

void flushAll(const QString &brask)
{
    const int fd = ::open(brask.toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || ::syncfs(fd) != 0)
        die("syncfs", brask.toStdString());
    ::close(fd);
}

void settle(const QString &brask)
{
    flushAll(brask);
}

#endif

double baseline(const QString &ostrel, const QString &brask, bool durable = false)
{
    QElapsedTimer timer;
    timer.start();
    for (const char *folder : {"/dat", "/sfx"})
        baselineCopy(ostrel + QLatin1String(folder), brask + QLatin1String(folder), durable);
    flushAll(brask);
    return timer.nsecsElapsed() / 1e9;
}

// ---- the repair, through the window ----

double repair(BraskRepair &window, const QString &ostrel, const QString &brask)
{
    window.findChild<QLineEdit *>(QStringLiteral("ledPathOstrel"))->setText(ostrel);
    window.findChild<QLineEdit *>(QStringLiteral("ledPathBrask"))->setText(brask);
    QElapsedTimer timer;
    double seconds = -1;
    QString text;
    // The completion box opens only once all work is done; close it at once.
    QTimer closer;
    closer.setInterval(0);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || seconds >= 0)
            return;
        seconds = timer.nsecsElapsed() / 1e9;
        text = box->text();
        box->buttons().first()->click();
    });
    closer.start();
    timer.start();
    window.findChild<QAbstractButton *>(QStringLiteral("btnReinstall"))->click();
    if (!text.startsWith(QLatin1String("Done!"))) {
        std::fprintf(stderr, "repair failed: %s\n", qPrintable(text));
        std::exit(1);
    }
    return seconds;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void run(const Workload &workload, int rounds, const QString &base)
{
    QTemporaryDir dir(base + QStringLiteral("/brask-bench-XXXXXX"));
    if (!dir.isValid())
        die("temporary folder in", base.toStdString());
    const QString ostrel = dir.path() + QStringLiteral("/Ostrel"), brask = dir.path() + QStringLiteral("/Brask");
    qint64 total = 0;
    for (const char *folder : {"/dat", "/sfx"}) {
        QDir().mkpath(ostrel + folder);
        QDir().mkpath(brask + folder);
    }
    for (size_t i = 0; i < workload.sizes.size(); ++i) {
        const char *folder = i % 4 == 3 ? "/sfx" : "/dat";
        makeFile(QStringLiteral("%1%2/file%3.pak").arg(ostrel, QLatin1String(folder)).arg(i), workload.sizes[i]);
        total += workload.sizes[i];
    }
    std::printf("%s: %zu files, %.1f MiB\n", workload.name, workload.sizes.size(), total / 1048576.0);

    BraskRepair window;
    window.show();
    // The first copy fills the target, so every timed run replaces a full one.
    baseline(ostrel, brask);
    std::vector<double> base_s, durable_s, repair_s;
    for (int round = 0; round < rounds; ++round) {
        settle(brask);
        base_s.push_back(baseline(ostrel, brask));
        settle(brask);
        if (hasDurableBaseline)
            durable_s.push_back(baseline(ostrel, brask, true));
        settle(brask);
        repair_s.push_back(repair(window, ostrel, brask));
        std::printf("  round %d: baseline %.3f s, ", round + 1, base_s.back());
        if (hasDurableBaseline)
            std::printf("durable baseline %.3f s, ", durable_s.back());
        std::printf("repair %.3f s\n", repair_s.back());
        std::fflush(stdout);
    }
    const double b = median(base_s), r = median(repair_s);
    std::printf("  median: baseline %.3f s, repair %.3f s, ratio %.2f\n", b, r, r / b);
    if (hasDurableBaseline) {
        const double d = median(durable_s);
        std::printf("  median: durable baseline %.3f s, ratio %.2f\n", d, r / d);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QString which = QStringLiteral("all");
    QString base = QDir::tempPath();
    int rounds = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--dir") && i + 1 < args.size())
            base = args[++i];
        else
            which = args[i];
    }
    if (which == QLatin1String("realistic") || which == QLatin1String("all"))
        run(realistic(), rounds, base);
    if (which == QLatin1String("stress") || which == QLatin1String("all"))
        run(stress(), rounds, base);
    return 0;
}
