# The cases of test_publish read the release that publish_release_build makes.
set(test_properties FIXTURES_REQUIRED publish_release)
