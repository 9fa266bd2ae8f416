#include "core/jpg/turbo_ext/scan_search.h"

// For now the standard progressive script is the only candidate.
bool choose_progressive_script(j_compress_ptr cinfo, jvirt_barray_ptr*, std::vector<jpeg_scan_info>& script) {
    const jpeg_scan_info* saved_info = cinfo->scan_info;
    const int saved_count = cinfo->num_scans;
    jpeg_simple_progression(cinfo);
    script.assign(cinfo->scan_info, cinfo->scan_info + cinfo->num_scans);
    cinfo->scan_info = saved_info;
    cinfo->num_scans = saved_count;
    return !script.empty();
}
