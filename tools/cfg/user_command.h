// qora-cfg user add|remove|list: the users file of the OPC UA endpoint.
#pragma once

namespace qora::cfgtool {

// argv after "user": {"add", FILE, NAME}, {"remove", FILE, NAME} or {"list", FILE}. The password
// of "add" comes from standard input: on a terminal asked twice without echo, from a pipe one
// line. Returns the exit status (0 done, 1 usage or a file that cannot be read or written,
// 2 refused: bad name, unknown user, empty or mismatched password).
int RunUserCommand(int argc, char** argv);

}  // namespace qora::cfgtool
