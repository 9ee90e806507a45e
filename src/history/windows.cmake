add_library(sorvane_historydlg STATIC history.cpp HelpWindow.cpp DialogUnits.cpp
    ${CMAKE_SOURCE_DIR}/resources/help.qrc)
target_link_libraries(sorvane_historydlg PUBLIC sorvane_options sorvane_log Qt6::Widgets)
