#include <znfs/znfs_utils.h>
// Placeholder.
namespace znfs {
std::string znfs_utils::uint_to_string(unsigned int value) { return std::to_string(value); }
unsigned int znfs_utils::string_to_uint(const std::string&) { return 0; }
int znfs_utils::execute_command(const std::string&, std::vector<std::string>&, std::string&, int) { return -1; }
}  // namespace znfs
