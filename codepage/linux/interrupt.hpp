// Removing the temporary file when a signal ends the program (Ctrl-C,
// Ctrl-\, a closed terminal or pipe, kill, a timer, a CPU limit): the
// target keeps its old content and nothing is left beside it.
#pragma once

#include <csignal>
#include <string_view>

namespace codepage {

// Holds off those signals for as long as it lives, so that the file system
// and the record of the temporary file change together.
class SignalsHeldOff {
public:
    SignalsHeldOff();
    SignalsHeldOff(SignalsHeldOff const&) = delete;
    SignalsHeldOff& operator=(SignalsHeldOff const&) = delete;
    ~SignalsHeldOff();

    // Records the temporary file `name` in `directory`, to be removed if
    // one of those signals comes; `directory` stays open until
    // forget_temporary_file, and the name is at most NAME_MAX bytes long.
    // A run that ends `soon` (nothing it does can wait long) keeps the
    // signals held off until then, and one that came meanwhile ends the
    // program once the file is gone: installing the handlers would cost
    // one system call for each of those signals. Otherwise the first call
    // installs them.
    void remove_on_signal(int directory, std::string_view name, bool soon);
    void forget_temporary_file();

    // Whether one of those signals came and waits, and is not ignored: once
    // let in, it ends the program.
    bool ending_signal_waits() const;

    // Once the target is replaced the run has succeeded, and no signal may
    // make it look failed: the signals stay held off until the program
    // ends, which it then does with its own exit status.
    void hold_to_the_end() { to_the_end_ = true; }

private:
    sigset_t previous_;
    bool to_the_end_ = false;
};

}  // namespace codepage
