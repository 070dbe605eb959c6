"""The publisher's release tool; tools/publish/korvanth-publish runs cli.main."""
