# The poll cases fetch their documents from the local servers (tests/net).
set(test_properties FIXTURES_REQUIRED net_servers)
