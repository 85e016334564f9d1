#ifndef ZNFSSNAP_DEMO_TREE_H
#define ZNFSSNAP_DEMO_TREE_H

// The demo's generated data: a live dataset on the snapshot volume whose files name data
// objects on the object volume through "trusted.vidoruvud.uuid", written with host calls.
// Setup failures throw std::runtime_error.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace znfssnap {

struct demo_file {
    std::string rel;   // below the dataset root, without a leading "/" ("proj0/part1/f012.dat")
    std::string uuid;  // "/objects/<id>" on the object volume; empty when the file has none
};

struct demo_dataset {
    std::vector<demo_file> files;  // the regular files
    size_t directories = 0;
    size_t skipped_dirs = 0;       // ".snaps" directories
    size_t others = 0;             // links and FIFOs
    uint64_t bytes = 0;
};

class demo_builder {
public:
    // volroot and objroot are the host directories of the two volumes.
    demo_builder(std::string volroot, std::string objroot, uint64_t seed);

    // Makes live (a volume path, "/live") with nested directories, files of varied sizes,
    // modes and attributes, ".snaps" directories, a link, a FIFO, and the data objects.
    void build(const std::string& live, demo_dataset& ds);
    // Gives n files that carry a uuid new data and a new data object; returns their indices.
    std::vector<size_t> rewrite_files(const std::string& live, demo_dataset& ds, size_t n);
    // Adds n new files with data objects; returns their indices.
    std::vector<size_t> add_files(const std::string& live, demo_dataset& ds, size_t n);

    bool object_exists(const std::string& uuid) const;
    size_t object_count() const;
    // Writes data to the volume path, host side.
    void write_volume_file(const std::string& volpath, const std::string& data, unsigned mode) const;

private:
    std::string random_bytes(size_t n);
    std::string new_object(const std::string& content);
    size_t pick_size();

    std::string m_volroot;
    std::string m_objroot;
    std::mt19937_64 m_rng;
};

}  // namespace znfssnap

#endif
