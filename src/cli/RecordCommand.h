#pragma once
// `tarvisel-cli record init|sync|status`: the line's shared record (PostgreSQL) and this
// station's outbox for it.
//   init URL: creates or upgrades its tables, then prints the SQL of a role for the stations;
//             exit 0 when the schema is this program's, 1 otherwise (a newer one is left alone).
//   sync:     sends what waits in the outbox, once; exit 0 when nothing is left, else 1.
//   status:   rows waiting, the last upload, the last error, and how far this station's clock
//             is off the server's; exit 0, or 1 when the outbox cannot be read.
#include "CliOptions.h"
#include "CommandRunner.h"

int RunRecordCommand(const CliOptions& options, ConsoleStreams& console);
