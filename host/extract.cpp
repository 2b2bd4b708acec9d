// Extracting members: selecting them, planning their file names, calling
// GetFile(W) with memory or file output, and moving staged files in place.
#include "host/extract.h"

#include <limits.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "host/console.h"
#include "host/listing.h"
#include "host/status.h"
#include "host/text.h"
#include "plugin/filename.h"

namespace {

// What the extraction steps return besides the plug-in's codes when the host
// itself failed (and has said why).
const int kHostFailed = INT_MIN;

// One member to extract, and the name of the file it goes to.
struct Target {
    const Member* member;
    std::wstring fileName;
};

struct Extraction {
    const Plugin& plugin;
    const Source& src;
    const Options& opt;
    HostPath dir;
    std::string ansiDir;  // the opened directory for the ANSI GetFile
};

// ----------------------------------------------------------------- naming

// Windows compares file names without case.
bool SameFileName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
           CSTR_EQUAL;
}

bool NameIn(const std::wstring& name, const std::vector<std::wstring>& names) {
    for (const std::wstring& n : names) {
        if (SameFileName(n, name)) return true;
    }
    return false;
}

// "NAME (k).EXT" for a name that an earlier member's file already has; the
// extension starts at the last dot, unless that is the first character.
std::wstring NumberedName(const std::wstring& name, size_t k) {
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0) dot = name.size();
    return name.substr(0, dot) + L" (" + std::to_wstring(k) + L")" + name.substr(dot);
}

// The first numbered name of `name` that neither a file planned so far nor
// any selected member has.
std::wstring FreeNumberedName(const std::wstring& name, const std::vector<std::wstring>& taken,
                              const std::vector<std::wstring>& own) {
    for (size_t k = 2;; k++) {
        std::wstring file = NumberedName(name, k);
        if (IsPlainFileName(file.c_str()) && !NameIn(file, taken) && !NameIn(file, own)) {
            return file;
        }
    }
}

// The file name of each selected member: its own, or, when an earlier one
// has taken it, the first numbered name that no selected member has.
// Names that are no plain file names are kept, to be refused one by one.
std::vector<Target> PlanTargets(const std::vector<const Member*>& selected) {
    std::vector<std::wstring> own;
    for (const Member* m : selected) own.push_back(m->name);
    std::vector<std::wstring> taken;
    std::vector<Target> targets;
    for (const Member* m : selected) {
        std::wstring file = m->name;
        if (IsPlainFileName(file.c_str()) && NameIn(file, taken)) {
            file = FreeNumberedName(m->name, taken, own);
        }
        if (IsPlainFileName(file.c_str())) taken.push_back(file);
        targets.push_back(Target{m, file});
    }
    return targets;
}

// The members to extract: every one, or those of the names given (every
// member of each name, in listing order). False when a name is not listed.
bool SelectMembers(const std::vector<Member>& members, const Options& opt,
                   std::vector<const Member*>* selected) {
    bool ok = true;
    std::vector<std::wstring> names;
    for (size_t i = 2; i < opt.args.size(); i++) {
        bool listed = false;
        for (const Member& m : members) listed = listed || m.name == opt.args[i];
        if (!listed) {
            fprintf(stderr, "spihost: no member named '%s'\n", Utf8(opt.args[i]).c_str());
            ok = false;
        }
        names.push_back(opt.args[i]);
    }
    for (const Member& m : members) {
        bool wanted = names.empty();
        for (const std::wstring& n : names) wanted = wanted || m.name == n;
        if (wanted) selected->push_back(&m);
    }
    return ok;
}

// ---------------------------------------------------------------- writing

// Size of a file in bytes, or -1 when it cannot be read.
int64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return (int64_t)(((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow);
}

// GetFile(W) for the member, file output into `dir` (ANSI: `ansiDir`) or
// memory output into *block, watched by `line`.
int CallGetFile(const Extraction& x, const Member& m, const std::wstring& dir,
                const std::string& ansiDir, HLOCAL* block, ProgressLine* line) {
    const void* source = NULL;
    LONG_PTR len = 0;
    if (!MemberSource(x.plugin, x.src, m.position, &source, &len)) {
        fprintf(stderr, "spihost: position %llu lies outside the list\n",
                (unsigned long long)m.position);
        return kHostFailed;
    }
    unsigned output = block != NULL ? kOutputToMemory : kOutputToFile;
    unsigned flag = InputKind(x.src) | (output << kOutputKindShift);
    LONG_PTR datum = reinterpret_cast<LONG_PTR>(line);
    if (block != NULL) *block = NULL;
    line->startTick = GetTickCount64();
    if (x.plugin.wide) {
        LPWSTR dest = block != NULL ? (LPWSTR)block : (LPWSTR)dir.c_str();
        return x.plugin.getFileW((LPCWSTR)source, len, dest, flag, OnProgress, datum);
    }
    LPSTR dest = block != NULL ? (LPSTR)block : (LPSTR)ansiDir.c_str();
    return x.plugin.getFile((LPCSTR)source, len, dest, flag, OnProgress, datum);
}

// The host writes the member: memory output, then the file through a
// temporary one beside it.
int ExtractByHost(const Extraction& x, const Target& t, const HostPath& path,
                  ProgressLine* line, int64_t* size) {
    HLOCAL block = NULL;
    int code = CallGetFile(x, *t.member, std::wstring(), std::string(), &block, line);
    if (code != SPI_SUCCESS) return code;
    if (block == NULL) {
        fprintf(stderr, "spihost: %s returned 0 and no block\n", x.plugin.Name("GetFile"));
        return kHostFailed;
    }
    *size = (int64_t)LocalSize(block);
    const void* data = LocalLock(block);
    bool written = data != NULL && WriteFileWhole(path.opened.c_str(), data, *size);
    if (data != NULL) LocalUnlock(block);
    LocalFree(block);
    if (!written) {
        fprintf(stderr, "spihost: cannot write %s\n", Utf8(path.typed).c_str());
        return kHostFailed;
    }
    return SPI_SUCCESS;
}

// A new, empty directory beside the output files for the plug-in to write a
// member into whose name an earlier member's file has taken.
bool MakeStagingDirectory(const HostPath& dir, HostPath* out) {
    const int kAttempts = 64;
    for (int i = 0; i < kAttempts; i++) {
        std::wstring name = L"~spihost-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(i);
        if (!JoinPath(dir, name, out)) return false;
        if (CreateDirectoryW(out->opened.c_str(), NULL)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// For a numbered name: the plug-in writes the member under its own name into
// a staging directory, from which the host moves the file to `path`.
int ExtractThroughStage(const Extraction& x, const Target& t, const HostPath& path,
                        ProgressLine* line) {
    HostPath stage;
    if (!MakeStagingDirectory(x.dir, &stage)) {
        fprintf(stderr, "spihost: cannot make a directory in %s\n", Utf8(x.dir.typed).c_str());
        return kHostFailed;
    }
    HostPath staged;
    std::string ansiStage;
    int code = kHostFailed;
    if (Spellable(x.plugin, stage, &ansiStage) && JoinPath(stage, t.member->name, &staged)) {
        code = CallGetFile(x, *t.member, stage.opened, ansiStage, NULL, line);
    }
    bool moved = code == SPI_SUCCESS && MoveFileExW(staged.opened.c_str(), path.opened.c_str(),
                                                    MOVEFILE_REPLACE_EXISTING);
    if (!moved && !staged.opened.empty()) DeleteFileW(staged.opened.c_str());
    RemoveDirectoryW(stage.opened.c_str());
    if (code != SPI_SUCCESS) return code;
    if (!moved) {
        fprintf(stderr, "spihost: cannot move the member to %s\n", Utf8(path.typed).c_str());
        return kHostFailed;
    }
    return SPI_SUCCESS;
}

// The plug-in writes the member: file output into DIR, or, for a numbered
// name, through a staging directory.
int ExtractByPlugin(const Extraction& x, const Target& t, const HostPath& path,
                    ProgressLine* line, int64_t* size) {
    int code = t.fileName == t.member->name
                   ? CallGetFile(x, *t.member, x.dir.opened, x.ansiDir, NULL, line)
                   : ExtractThroughStage(x, t, path, line);
    if (code != SPI_SUCCESS) return code;
    *size = FileSize(path.opened);
    if (*size < 0) {
        fprintf(stderr, "spihost: %s returned 0 but %s is missing\n", x.plugin.Name("GetFile"),
                Utf8(path.typed).c_str());
        return kHostFailed;
    }
    return SPI_SUCCESS;
}

// One member's line: "NAME SIZE -> PATH", PATH in the form typed.
void PrintWritten(const std::wstring& name, int64_t size, const HostPath& path) {
    PutText(name);
    printf(" %lld -> ", (long long)size);
    PutText(path.typed);
    putchar('\n');
    fflush(stdout);
}

int ExtractOne(const Extraction& x, const Target& t) {
    const std::wstring& name = t.member->name;
    bool pluginWrites = x.opt.Has(kOptPluginWrites);
    HostPath path;
    bool usable = IsPlainFileName(t.fileName.c_str()) && JoinPath(x.dir, t.fileName, &path);
    // A plug-in that writes under the member's own name judges that name itself.
    if (!usable && !(pluginWrites && t.fileName == name)) {
        fprintf(stderr, "spihost: refusing to write member name '%s'\n", Utf8(name).c_str());
        return kExitFailed;
    }
    ProgressLine line;
    line.shown = IsConsole(STD_ERROR_HANDLE);
    line.name = Utf8(name);
    line.listedSize = t.member->filesize;
    int64_t size = 0;
    int code = pluginWrites ? ExtractByPlugin(x, t, path, &line, &size)
                            : ExtractByHost(x, t, path, &line, &size);
    EndProgress(&line, code == SPI_CANCELLED ? "  cancelled" : "");
    if (code == SPI_CANCELLED) {
        fprintf(stderr, "spihost: '%s' cancelled; nothing written\n", Utf8(name).c_str());
        return kExitCancelled;
    }
    if (code == kHostFailed) return kExitFailed;
    if (code != SPI_SUCCESS) return ReportFailure(x.plugin, "GetFile", code);
    PrintWritten(name, size, path);
    return kExitOk;
}

// Extracts the selected members; a failed member does not stop the others,
// but makes the exit status 1. Ctrl-C stops at the member under way.
int ExtractSelected(const Extraction& x, const std::vector<const Member*>& selected,
                    size_t* written) {
    int status = kExitOk;
    SetCancellable(true);
    for (const Target& t : PlanTargets(selected)) {
        int result = CancelRequested() ? kExitCancelled : ExtractOne(x, t);
        if (result == kExitCancelled) {
            status = kExitCancelled;
            break;
        }
        if (result == kExitOk) {
            ++*written;
        } else {
            fprintf(stderr, "spihost: '%s' not extracted\n", Utf8(t.member->name).c_str());
            status = kExitFailed;
        }
    }
    if (CancelRequested()) status = kExitCancelled;
    SetCancellable(false);
    return status;
}

// The one line that says where the files went, with the directory as typed
// (empty, it is the current one).
void ReportDirectory(size_t written, const HostPath& dir) {
    std::string shown = dir.typed.empty() ? std::string(".") : Utf8(dir.typed);
    fprintf(stderr, "spihost: %llu file%s written into %s\n", (unsigned long long)written,
            written == 1 ? "" : "s", shown.c_str());
}

}  // namespace

int CommandExtract(const Plugin& plugin, const Options& opt) {
    Source src;
    int status = OpenSource(plugin, opt, opt.args[1], &src);
    Extraction x = {plugin, src, opt, opt.outDir, std::string()};
    if (status == kExitOk && !Spellable(plugin, x.dir, &x.ansiDir)) status = kExitFailed;
    std::vector<Member> members;
    if (status == kExitOk) status = FetchListing(plugin, src, &members);
    std::vector<const Member*> selected;
    if (status == kExitOk && !SelectMembers(members, opt, &selected)) status = kExitFailed;
    if (status != kExitOk) return status;
    size_t written = 0;
    status = ExtractSelected(x, selected, &written);
    if (status == kExitCancelled && CancelRequested()) {
        fputs("spihost: cancelled by Ctrl-C\n", stderr);
    }
    ReportDirectory(written, x.dir);
    return status;
}
