// JPEG pipeline entry: inspect the file once, settle the job's choices, then
// run one road: the view of the unchanged file for the preview window,
// lossless transcoding, or lossy re-encoding.
#include "core/jpg/jpeg_optimizer.h"

#include "core/jpg/jpeg_examine.h"
#include "core/jpg/jpeg_lossless.h"
#include "core/jpg/jpeg_lossy.h"
#include "core/jpg/jpeg_mode.h"
#include "core/jpg/jpeg_preview.h"

int optimize_jpeg_file(const std::string& path, image_job& job) {
    inspect_jpeg(path, job);
    if (job.preview_refused) return job.result;
    if (job.preview_check) return job.result;
    decide_jpeg_mode(job);
    if (job.result != job_ok) return job.result;

    if (job.preview_original) {
        // Whatever the view reports, the unchanged file is no failure.
        preview_jpeg(path, job);
        job.result = job_ok;
        return job.result;
    }
    if (job.mode == mode_lossless) return transcode_jpeg_lossless(path, path, job);

    reencode_jpeg_lossy(path, job);
    // A resized result that came out smaller counts as success. The road
    // leaves current_size at the input's size whenever it wrote nothing.
    if (job.resize_target != 0 && job.current_size < job.input_size) job.result = job_ok;
    return job.result;
}
