# Transparent-pixel fills, alpha flattening and the colour flags of the job.
add_library(velto_transparency STATIC ${CMAKE_CURRENT_LIST_DIR}/transparency.cpp)
target_link_libraries(velto_transparency PUBLIC velto_base)
