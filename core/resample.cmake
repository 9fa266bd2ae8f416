# Lanczos resampler and the resize targets of the job.
add_library(velto_resample STATIC ${CMAKE_CURRENT_LIST_DIR}/resample.cpp)
target_link_libraries(velto_resample PUBLIC velto_base velto_transparency)
