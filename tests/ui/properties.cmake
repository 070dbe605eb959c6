# The window's passes download from the local servers; the cases move the one
# pointer of the display, so they run one at a time; news links are opened
# through a stand-in browser that records what it was given
# (fakebin/xdg-open.in).
set(test_properties FIXTURES_REQUIRED net_servers RESOURCE_LOCK desktop
    ENVIRONMENT "PATH=${CMAKE_BINARY_DIR}/tests/ui-fakebin:$ENV{PATH}")
