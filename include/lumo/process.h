// Child processes started from a command line, spoken to through pipes or a
// pseudo-terminal, waited for and reported on; and shared libraries loaded at run time
// with their symbols looked up by name.
#pragma once

#include <string>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;

// Handle of one child process and the parent's ends of its input and output. The
// handle never ends the child by itself: callers call Terminate().
//
// Exit code: the exit status (0..255) after a normal exit; -1 when the child could not
// enter its working folder or execute the command; signal | 0x80000000 after death by
// any other signal.
// One thread at a time.
class CL_Process : public CL_Object {
public:
    CL_Process() = default;

    // CL_OK once the child has been reaped (the exit code is then stored), CL_TIMEOUT
    // when a finite time-out passes first, CL_ERROR when a blocking wait fails.
    CL_Status Wait(uint32 timeout);
    // Appends at most 1024 bytes of the child's output at the blob's position: CL_OK,
    // CL_TIMEOUT, or CL_IO_ERROR at the end of the output or on an error.
    CL_Status Read(CL_Blob* data, uint32 timeout);
    // Writes all of data to the child's input: CL_OK or CL_IO_ERROR. With close the input is closed
    // afterwards, whatever the outcome.
    CL_Status Write(const CL_Blob& data, bool close);
    // Kills a child that has not been reaped yet and closes both descriptors.
    void Terminate();
    // True while the child exists, ended but not yet reaped included.
    bool IsAlive() const;
    int32 GetExitCode() const { return fExitCode; }
    // CL_OK, or CL_IO_ERROR when the descriptor is not a terminal.
    CL_Status SetWindowSize(uint32 width, uint32 height);

    int32 fPID = 0;        // child process id, 0 when there is none
    int32 fInputFD = -1;   // the child's output, read by the parent
    int32 fOutputFD = -1;  // the child's input, written by the parent
    int32 fExitCode = 0;
    // Set once waitpid has collected the child: its id may belong to another process
    // from then on, so it is never signalled again.
    bool fReaped = false;
};

// Starts a command line (arguments split at blanks, double quotes group, the program
// looked up along PATH) through pipes, or a pseudo-terminal with pty. CL_OK and a
// filled process, or CL_ERROR with the handle unchanged. A command that cannot run still starts:
// it shows as exit code -1 after Wait.
CL_Status CL_ExecuteProcess(const std::string& command, CL_Process* process,
                            const std::string& workingDirectory = "", bool pty = false);
// Runs a command, feeds it input and, with wait, collects its output and exit code;
// without wait the child is killed at once. result and output may be null.
CL_Status CL_ExecuteProcess(const std::string& command, bool wait, int32* result,
                            const std::string& input, std::string* output,
                            const std::string& workingDirectory = "");

// A shared library loaded with dlopen. One thread loads and unloads it; GetSymbol
// may run on any thread while it stays loaded.
class CL_DynamicLibrary : public CL_Object {
public:
    enum Category {
        LIBRARY = 0,
        PLUGIN = 1,
    };

    CL_DynamicLibrary() = default;
    CL_DynamicLibrary(const CL_DynamicLibrary&) = delete;
    CL_DynamicLibrary& operator=(const CL_DynamicLibrary&) = delete;

    // Loads exactly the given file name (no other names are tried).
    bool Load(const std::string& name);
    void Unload();
    // Null without a library; success, when given, tells whether the symbol was found.
    void* GetSymbol(const std::string& name, bool* success = nullptr);
    // The loader's last error text (consumed by the call), or "".
    static std::string GetError();
    // "dir/foo.so.1" -> "dir/libfoo.so" for LIBRARY, "dir/foo.so" for PLUGIN.
    static std::string CanonicalizeName(const std::string& name, Category category);
    static std::string Extension(Category category);

    void* fHandle = nullptr;  // the dlopen handle; the destructor does not unload it
};
