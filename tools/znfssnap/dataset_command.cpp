#include "dataset_command.h"

namespace znfssnap {

int open_reported(const char* command, bool json, const json_object& j, const std::string& volume,
                  opened_volume& vol)
{
    std::error_code ec;
    vol = open_volume(volume, ec);
    if (!vol.iopx)
        return report_failure(command, json, j, "cannot open volume " + volume, ec);
    return -1;
}

int open_reported(const char* command, bool json, const json_object& j, const std::string& volume,
                  opened_volume& vol, const std::string& dir, const std::string& dir_text)
{
    int rc = open_reported(command, json, j, volume, vol);
    if (rc >= 0)
        return rc;
    std::error_code ec = check_directory(vol.api, vol.iopx, dir);
    if (ec)
        return report_failure(command, json, j, dir_text, ec);
    return -1;
}

int start_dataset_command(const char* command, const char* help, const std::vector<std::string>& args,
                          dataset_command& dc, const std::vector<option_def>& extra)
{
    parsed_args& pa = dc.args;
    std::vector<option_def> defs = {{"volume", true}, {"dataset", true}, {"snapdir", true}};
    defs.insert(defs.end(), extra.begin(), extra.end());
    int rc = start_command(command, help, args, defs, {"volume", "dataset", "snapdir"}, 0, 0, pa, dc.co);
    if (rc >= 0)
        return rc;
    dc.volume = pa.get("volume");
    dc.dataset = pa.get("dataset");
    dc.snapdir = pa.get("snapdir");
    dc.report = json_object(command);
    dc.report.str("volume", dc.volume).str("dataset", dc.dataset).str("snapdir", dc.snapdir);
    return open_reported(command, dc.co.json, dc.report, dc.volume, dc.vol);
}

}  // namespace znfssnap
