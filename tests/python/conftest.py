def pytest_configure(config):
    config.addinivalue_line("markers", "pattern: the virtual amplifiers stream frame numbers")
