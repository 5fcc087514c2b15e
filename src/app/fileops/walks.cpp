// The walks over a folder and everything in it, written once for both
// systems on the folders that dir.h holds open: the survey of what a removal
// would reach, the folders below a source, and the removal itself.
#include "fileops/dir.h"

#include <algorithm>

namespace FileOps {

namespace {

bool failed(Code code, SystemError &error)
{
    error = SystemError{code};
    return false;
}

// The entries of the folder dir holds into node, and below each folder
// among them its own. With crossMounts, the walk goes below mount points
// too, and only folders need be found; else a mount point is an entry of
// its own.
bool surveyFolder(const Dir &dir, const NativePath &path, int depth, bool crossMounts, Node *node, NativePath *where,
                  SystemError &error)
{
    if (depth > deepest()) {
        *where = path;
        return failed(TooDeep, error);
    }
    Name at;
    if (const Code code = dir.list(&node->children, &at, crossMounts)) {
        *where = at.isEmpty() ? path : joined(path, at);
        return failed(code, error);
    }
    std::stable_sort(node->children.begin(), node->children.end(), [](const Node &a, const Node &b) {
        return shownName(a.name).compare(shownName(b.name), Qt::CaseInsensitive) < 0;
    });
    for (Node &child : node->children) {
        if (child.kind != Kind::Folder || (child.mountPoint && !crossMounts))
            continue;
        const NativePath childPath = joined(path, child.name);
        Dir folder;
        if (const Code code = dir.openFolder(child, false, &folder)) {
            *where = childPath;
            return failed(code, error);
        }
        if (!surveyFolder(folder, childPath, depth + 1, crossMounts, &child, where, error))
            return false;
    }
    return true;
}

bool surveyTree(const NativePath &path, bool crossMounts, Node *root, NativePath *where, SystemError &error)
{
    root->kind = Kind::Missing;
    root->children.clear();
    Dir holder;
    NativePath parent;
    Code code = holder.openHolder(path, &root->name, &parent);
    const bool holderOpen = code == 0;
    if (holderOpen)
        code = holder.look(root->name, root);
    if (code != 0) {
        root->kind = Kind::Missing;
        if (isGone(code) || SystemError{code}.absent())
            return true;
        *where = holderOpen ? path : parent;
        return failed(code, error);
    }
    if (root->kind != Kind::Folder || (root->mountPoint && !crossMounts))
        return true;
    Dir folder;
    if (const Code code = holder.openFolder(*root, false, &folder)) {
        *where = path;
        return failed(code, error);
    }
    return surveyFolder(folder, path, 1, crossMounts, root, where, error);
}

// What one removal walk shares down the folders.
struct Removal
{
    const Progress &progress;
    QString failed;
    Code code = 0;
    int removed = 0;
};

// Removes node, the entry of that name in the folder dir holds, and
// everything the survey found below it. Each folder is opened relative to
// the one that holds it, and checked to be the one surveyed before anything
// in it goes.
bool removeNode(const Dir &dir, const Node &node, const QString &shown, Removal *removal)
{
    auto stop = [&](Code code, const QString &at) {
        removal->code = code;
        removal->failed = at;
        return false;
    };
    if (node.foreignLink)
        return stop(UnixLink, shown);
    if (node.mountPoint)
        return stop(Mounted, shown);
    // A link goes as a link (symbolic link, junction, mount point).
    if (node.kind != Kind::Folder) {
        const Code code = dir.remove(node);
        if (code == 0)
            ++removal->removed;
        return code == 0 || isGone(code) || stop(code, shown);
    }
    Dir folder;
    Code code = dir.openFolder(node, true, &folder);
    if (isGone(code))
        return true;
    if (code != 0)
        return stop(code, shown);
    removal->progress.setMaximum(int(node.children.size()));
    int count = 0;
    for (const Node &child : node.children) {
        removal->progress.setValue(++count);
        if (!removeNode(folder, child, shown + QLatin1Char('/') + shownName(child.name), removal))
            return false;
    }
    Stayed stayed;
    code = dir.removeEmptied(node, folder, &stayed);
    if (code == 0) {
        ++removal->removed;
        return true;
    }
    if (isGone(code))
        return true;
    removal->removed -= stayed.counted;
    return stop(code, stayed.name.isEmpty() ? shown : shown + QLatin1Char('/') + shownName(stayed.name));
}

} // namespace

bool survey(const NativePath &path, Node *root, NativePath *where, SystemError &error)
{
    return surveyTree(path, false, root, where, error);
}

bool folderTree(const NativePath &path, QList<QByteArray> *ids, SystemError &error)
{
    // The folder itself as reached through any links on its path, then
    // every folder below it without following any, whatever file system is
    // mounted there: a folder on another disk inside the source is still
    // inside it.
    QByteArray id;
    Kind kind = Kind::Missing;
    if (!identify(path, Links::Followed, &id, &kind, error))
        return false;
    ids->append(id);
    Dir dir;
    if (const Code code = dir.open(path))
        return failed(code, error);
    Node tree;
    NativePath where;
    if (!surveyFolder(dir, path, 1, true, &tree, &where, error))
        return false;
    QList<const Node *> pending;
    for (const Node &child : std::as_const(tree.children))
        pending.append(&child);
    while (!pending.isEmpty()) {
        const Node *node = pending.takeLast();
        if (node->kind != Kind::Folder)
            continue;
        ids->append(node->id);
        for (const Node &child : node->children)
            pending.append(&child);
    }
    return true;
}

bool removeSurveyed(const NativePath &path, const QString &shown, const Node &root, const Progress &progress,
                    QString *failed, SystemError &error, int *removed)
{
    if (root.kind == Kind::Missing)
        return true;
    Dir holder;
    Name name;
    Removal removal{progress, QString(), 0, 0};
    const Code code = holder.openHolder(path, &name);
    const bool gone = code == 0 ? removeNode(holder, root, shown, &removal) : (removal.code = code, false);
    if (removed)
        *removed = removal.removed;
    if (gone)
        return true;
    setText(failed, removal.failed.isEmpty() ? shown : removal.failed);
    error = SystemError{removal.code};
    return false;
}

} // namespace FileOps
