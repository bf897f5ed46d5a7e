// The folder that holds a run's working files ("temp.jpeg", "kom.234",
// "dekom.jpeg", "temp.bmp", "kode.txt").
//
// The first run in a folder works there under the fixed names. While it
// runs, the folder is claimed by it: a further run started in the same
// folder works in a private folder of its own instead, so that two windows
// never share their working files. The claim is an abstract unix socket
// named after the folder's device and inode; it leaves no file behind and
// vanishes with the process, however the process ends.
#pragma once

#include <string>

// The folder of the working files; "" while they go by their bare names
// into the current folder.
const std::string& WorkingFolder();

// The name to make or open the working file `name` by: the bare name, or
// the name in the working folder.
std::string WorkingFile(const std::string& name);

// Where a run started from the desktop works: "vendaru" in the user's cache
// folder ($XDG_CACHE_HOME, else ~/.cache), or "" when there is no such place.
std::string DesktopWorkingFolder();

// Makes `folder` the working folder for as long as it lives ("" for the
// current folder), or a private folder when another process has claimed
// that one. A `folder` that is missing is created first. Its end gives the
// working folder back to the one before.
class TWorkingFolder {
public:
    explicit TWorkingFolder(const std::string& folder);
    // Removes a private folder with everything in it and gives up the claim.
    ~TWorkingFolder();
    TWorkingFolder(const TWorkingFolder&) = delete;
    TWorkingFolder& operator=(const TWorkingFolder&) = delete;

    // True when another process works in the folder asked for, so that this
    // one works in a private folder.
    bool Private() const { return !FPrivate.empty(); }
    // False when neither the folder asked for nor a private folder could
    // be made: nothing can be worked on then.
    bool Ready() const { return FReady; }
    // What went wrong, naming the folder and the reason: the folder cannot
    // be made or written, or no private folder could be made. "" when the
    // working folder is ready.
    const std::string& Problem() const { return FProblem; }

private:
    void MakePrivateFolder();

    std::string FBefore;
    bool FReady = false;
    int FClaim = -1;
    std::string FPrivate;
    std::string FProblem;
};
