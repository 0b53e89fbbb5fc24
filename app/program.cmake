# The program's windows form one library (they call each other: the wizard
# loads the main window, the main window opens the dialogs), linked into the
# `fanscope` program and the GUI tests. Sources are picked up by folder.
set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTORCC ON)
# Forms are compiled explicitly: AUTOUIC takes every include of a "ui_*.h"
# for a form header, "shell/ui_services.h" too, and fails the build.
set(CMAKE_AUTOUIC OFF)

file(GLOB _widget_sources CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/widgets/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/widgets/*.h)
add_library(fanscope_widgets STATIC ${_widget_sources})
target_include_directories(fanscope_widgets PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(fanscope_widgets PUBLIC Qt6::Widgets)

set(_app_sources)
foreach(dir shell startup main_window dialogs)
  file(GLOB _s CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h
    ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.ui
    ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.qrc)
  list(APPEND _app_sources ${_s})
endforeach()
set(_app_forms ${_app_sources})
list(FILTER _app_forms INCLUDE REGEX "\\.ui$")
qt_wrap_ui(_app_form_headers ${_app_forms})
add_library(fanscope_app STATIC ${_app_sources} ${_app_form_headers})
target_include_directories(fanscope_app PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
target_compile_definitions(fanscope_app PUBLIC FANSCOPE_VERSION="${PROJECT_VERSION}")
target_link_libraries(fanscope_app PUBLIC fanscope_widgets fanscope_plot fanscope_device vexlink06 Qt6::Widgets Qt6::Svg
                                          Qt6::SvgWidgets)
fanscope_pch(fanscope_app QT)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  add_executable(fanscope ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  target_link_libraries(fanscope PRIVATE fanscope_app)
  # The library loads the platform libraries and the simulator by name, so
  # the link graph misses them.
  foreach(dep fanscope_sim vxport_sim vxmb_sim vxi2c_sim vxport_linux vxmb_linux vxi2c_linux)
    if(TARGET ${dep})
      add_dependencies(fanscope ${dep})
    endif()
  endforeach()
  install(TARGETS fanscope RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Desktop menu entry and icon for the installed program.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/install/fanscope.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/install/fanscope.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
