# Every case of test_net needs the local servers (see CMakeLists.txt here).
set(test_properties FIXTURES_REQUIRED net_servers)
