int stub_unused_zip_stream;
