#include "dataset_command.h"

namespace znfssnap {

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
    std::error_code ec;
    dc.vol = open_volume(dc.volume, ec);
    if (!dc.vol.iopx)
        return report_failure(command, dc.co.json, dc.report, "cannot open volume " + dc.volume, ec);
    return -1;
}

}  // namespace znfssnap
