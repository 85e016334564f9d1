#ifndef ZNFSSNAP_DATASET_COMMAND_H
#define ZNFSSNAP_DATASET_COMMAND_H

// How commands start: the volume opened and the directory they work on checked, each failure
// reported; and the start that create and verify share: --volume, --dataset and --snapdir
// parsed, the JSON report begun, the volume opened.

#include "operations.h"
#include "options.h"
#include "report.h"

#include <string>
#include <vector>

namespace znfssnap {

// Opens volume into vol: -1 when it opened, else the exit status of the failure reported for
// command as "cannot open volume VOLUME".
int open_reported(const char* command, bool json, const json_object& j, const std::string& volume,
                  opened_volume& vol);
// The same, then checks that dir is a directory on the volume; a failure there is reported with
// dir_text as its message.
int open_reported(const char* command, bool json, const json_object& j, const std::string& volume,
                  opened_volume& vol, const std::string& dir, const std::string& dir_text);

struct dataset_command {
    common_options co;
    std::string volume;
    std::string dataset;
    std::string snapdir;
    json_object report;
    opened_volume vol;
    parsed_args args;  // the command line, for the command's own options
};

// -1 when the command goes on with dc filled in; otherwise the exit status to return (help
// shown, a usage error, or a volume that cannot be opened, already reported). extra: options
// of the command beyond the shared ones.
int start_dataset_command(const char* command, const char* help, const std::vector<std::string>& args,
                          dataset_command& dc, const std::vector<option_def>& extra = {});

}  // namespace znfssnap

#endif
