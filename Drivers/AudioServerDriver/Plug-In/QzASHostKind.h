// Which program asks: the client process's name, upper-cased, matched against the host
// applications some answers depend on (the last matching pattern wins).
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

enum class QzASHostKind : int
{
    audioMIDISetup = 2,
    iTunes = 3,
    digitalPerformer = 4,
    coreaudiod = 5,
    iChat = 6,
    us366ControlPanel = 7,
    systemUIServer = 8,
    audacity = 9,
    itch = 11,
    seratoDJ = 12,
    proToolsExpress = 13,
    traktor = 14,
    other = 15,
};

// The host kind of a client process (other when its name cannot be read).
QzASHostKind QzASClassifyHost(pid_t clientProcessID);
// The client process's name as the process table keeps it (16 characters at most).
std::optional<std::string> QzASProcessName(pid_t clientProcessID);
