# Qt Gui only so that the runner's "-platform offscreen" is understood.
sorvane_add_test(test_log SOURCES tst_log.cpp LIBS sorvane_log Qt6::Gui)
