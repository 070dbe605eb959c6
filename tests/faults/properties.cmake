# The runners update releases from the local mirror (tests/update).
set(test_properties FIXTURES_REQUIRED net_servers)
