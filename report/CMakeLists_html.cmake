# The HTML report and its building blocks. PNG images need libpng; without it the library still
# builds, png_available() says false and no report is written.
add_library(vq_report_html STATIC
  ${CMAKE_CURRENT_LIST_DIR}/html.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worst.cpp
)
target_link_libraries(vq_report_html PUBLIC vq_convert)
find_package(PNG)
if(PNG_FOUND)
  target_link_libraries(vq_report_html PRIVATE PNG::PNG)
  target_compile_definitions(vq_report_html PRIVATE VQ_HAVE_PNG=1)
endif()
