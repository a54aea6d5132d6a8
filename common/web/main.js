/*
 * main.js - script of the web client page. For now it shows the product's
 * name and version from "/runtime"; the full client is still being written.
 */
(function () {
    'use strict';

    function showRuntime(runtime) {
        var app = document.getElementById('app');
        var version = document.getElementById('version');
        if (runtime.title)
            document.title = runtime.title;
        if (app && runtime.app)
            app.textContent = runtime.app;
        if (version && runtime.version)
            version.textContent = 'Version ' + runtime.version;
    }

    function loadRuntime() {
        var request = new XMLHttpRequest();
        request.open('GET', '/runtime');
        request.onload = function () {
            if (request.status !== 200)
                return;
            try {
                showRuntime(JSON.parse(request.responseText));
            } catch (e) {
                /* not JSON: the page keeps its built-in text */
            }
        };
        request.send();
    }

    window.addEventListener('load', loadRuntime);
})();
