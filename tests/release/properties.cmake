# The cases download from the local servers (tests/net) the releases that
# update_releases_build puts below the mirror's root.
set(test_properties FIXTURES_REQUIRED net_servers)
