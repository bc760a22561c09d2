#pragma once
// The request envelope {"interfacetype","id","data"} and the session table.

#include <cstddef>
#include <string>

class CHttpRequest;
class KVSMLib;

typedef int (*VaultlineNotifyCallback)(const std::string& result);

// Runs one command text and stores its result through notify. Returns -1,
// without calling notify, when the text is not JSON or processing fails.
int VaultlineEntry(const std::string& text, VaultlineNotifyCallback notify, CHttpRequest* request);

// Distribution code for the version reply: " 1", " 2", " 3" or "".
std::string getosname();
// The code for the text of lsb_release's "Distributor" line.
std::string ClassifyDistribution(const std::string& distributor);
// Runs command through the shell and appends its output to result, a
// zero-filled buffer of 1,024 bytes, while it fits.
void executeCMD(const char* command, char* result);

// The session of that name, or null when none was made yet (or it was
// dropped to make room: at most 1,024 sessions are kept, and the one unused
// for longest goes first). Ids of any length name distinct sessions.
KVSMLib* FindSession(const std::string& id);
// How many sessions the table holds.
size_t SessionCount();
