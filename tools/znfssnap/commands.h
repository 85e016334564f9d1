#ifndef ZNFSSNAP_COMMANDS_H
#define ZNFSSNAP_COMMANDS_H

// The commands of znfssnap. Each takes the words after its name and returns the exit status.

#include <string>
#include <vector>

namespace znfssnap {

int cmd_create(const std::vector<std::string>& args);
int cmd_verify(const std::vector<std::string>& args);
int cmd_delete(const std::vector<std::string>& args);
int cmd_list_add(const std::vector<std::string>& args);
int cmd_handoff(const std::vector<std::string>& args);
int cmd_rmtree(const std::vector<std::string>& args);
int cmd_list(const std::vector<std::string>& args);
int cmd_destroy(const std::vector<std::string>& args);
int cmd_volsnap(const std::vector<std::string>& args);
int cmd_demo(const std::vector<std::string>& args);

}  // namespace znfssnap

#endif
