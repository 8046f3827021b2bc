int stub_unused_loader;
