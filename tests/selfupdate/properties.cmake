# The swap's cases start launchers that open windows: they take the desktop
# in turn with the window tests, whose keys and pointer a window in front
# would take.
set(test_properties RESOURCE_LOCK desktop)
