# The install window's cases check keyboard focus, which follows the
# foreground window: a window of a case running beside them takes it away.
set(test_properties RUN_SERIAL TRUE)
