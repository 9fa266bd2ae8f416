#include "fake_pipelines.h"

#include <fstream>
#include <iterator>
#include <mutex>

#include "core/jpg/jpeg_optimizer.h"
#include "core/platform.h"
#include "core/png/png_optimizer.h"

namespace {

std::mutex guard;
fake_pipeline_behaviour behaviour;
std::vector<fake_call> calls;

int fake_pipeline(char which, const std::string& path, image_job& job) {
    fake_pipeline_behaviour b;
    {
        std::lock_guard<std::mutex> lock(guard);
        calls.push_back({path, which, job});
        b = behaviour;
    }
    if (b.shrink_by || b.rewrite_same_size) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes.resize(bytes.size() > b.shrink_by ? bytes.size() - b.shrink_by : 0);
        replace_file_contents(path, bytes.data(), bytes.size());
    }
    job.result = b.result;
    job.preview_refused = b.preview_refused;
    return 0;
}

}  // namespace

void reset_fakes(const fake_pipeline_behaviour& b) {
    std::lock_guard<std::mutex> lock(guard);
    behaviour = b;
    calls.clear();
}

std::vector<fake_call> fake_calls() {
    std::lock_guard<std::mutex> lock(guard);
    return calls;
}

int optimize_png_file(const std::string& path, image_job& job) { return fake_pipeline('p', path, job); }
int optimize_jpeg_file(const std::string& path, image_job& job) { return fake_pipeline('j', path, job); }
