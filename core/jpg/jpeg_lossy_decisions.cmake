# Decisions of the lossy JPEG road (scaling, statistics, chroma, quality).
add_library(velto_jpeg_lossy_decisions STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_lossy_decisions.cpp)
target_link_libraries(velto_jpeg_lossy_decisions PUBLIC velto_base velto_jpeg_encoder)
