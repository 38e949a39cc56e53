// quillnest debug module. A page includes it first in its head (a listing asked
// for with the query "dbg" or "debug") to get a few tools for looking inside a
// page from the browser itself:
//   qn_debug.browser            what browser this is
//   qn_debug.is_local(host)     whether an address counts as local
//   qn_debug.view_source()      the page's markup in a window of its own
//   qn_debug.inspect(object)    the object inspector (the test page) on an object
//   qn_debug.open_test_page()   the test page on this module itself
//   qn_debug.watchdog           notices when the page stops responding
// A small bar in the page's lower left corner offers the same; Ctrl+Alt+U shows
// the source and Ctrl+Alt+I opens the inspector.
(function () {
  "use strict";

  var tool_path = "/quillnest/";
  var test_page = "visual-test.htm";

  var debug = window.qn_debug = window.qn_debug || {};
  debug.tool_path = tool_path;
  debug.test_page_url = tool_path + test_page;

  // ------------------------------------------------------------ the browser

  function detect_browser(agent) {
    var rules = [
      ["edge", /Edg(?:e|A|iOS)?\/([0-9.]+)/],
      ["opera", /(?:OPR|Opera)\/([0-9.]+)/],
      ["samsung", /SamsungBrowser\/([0-9.]+)/],
      ["firefox", /(?:Firefox|FxiOS)\/([0-9.]+)/],
      ["chrome", /(?:Chrome|CriOS)\/([0-9.]+)/],
      ["safari", /Version\/([0-9.]+).*Safari\//],
      ["ie", /(?:MSIE |Trident\/.*rv:)([0-9.]+)/]
    ];
    for (var n = 0; n < rules.length; ++n) {
      var found = rules[n][1].exec(agent);
      if (found) {
        return { name: rules[n][0], version: found[1], major: parseInt(found[1], 10),
                 mobile: /Mobile|Android|iP(?:hone|ad|od)/.test(agent), agent: agent };
      }
    }
    return { name: "unknown", version: "", major: 0, mobile: /Mobile/.test(agent), agent: agent };
  }

  debug.detect_browser = detect_browser;
  debug.browser = detect_browser(window.navigator.userAgent || "");

  // ------------------------------------------------------- local addresses

  // Host names and address prefixes that count as this machine or its network.
  debug.local_hosts = ["localhost", "127.", "::1", "[::1]", "10.", "192.168.", "169.254.", "fe80:", "[fe80:"];
  for (var second = 16; second <= 31; ++second) debug.local_hosts.push("172." + second + ".");

  debug.is_local = function (host) {
    host = String(host === undefined ? window.location.hostname : host).toLowerCase();
    if (/\.local$/.test(host) || (host.indexOf(".") < 0 && host.indexOf(":") < 0)) return true;
    for (var n = 0; n < debug.local_hosts.length; ++n) {
      var entry = debug.local_hosts[n];
      var prefix = entry.charAt(entry.length - 1) === "." || entry.charAt(entry.length - 1) === ":";
      if (prefix ? host.indexOf(entry) === 0 : host === entry) return true;
    }
    return false;
  };

  // ------------------------------------------------------ windows and pop-ups

  // Opens a window; when a pop-up blocker stops it, a bar offers a link to
  // click instead, which blockers let through. Returns the window or null.
  debug.open_window = function (url, name) {
    var opened = null;
    try {
      opened = window.open(url, name || "_blank");
    } catch (e) {
      opened = null;
    }
    if (!opened || opened.closed || typeof opened.closed === "undefined") {
      debug.popup_blocked(url);
      return null;
    }
    return opened;
  };

  debug.popup_blocked = function (url) {
    debug.blocked_count = (debug.blocked_count || 0) + 1;
    if (!document.body) return;
    var bar = document.getElementById("qn_debug_popup");
    if (!bar) {
      bar = document.createElement("div");
      bar.id = "qn_debug_popup";
      bar.style.cssText = "position: fixed; left: 0; right: 0; top: 0; z-index: 2000; padding: 6px 12px;" +
        " font: 13px Helvetica, Arial, sans-serif; background-color: #fff3c4; color: #262626;" +
        " border-bottom: 1px solid #c0a040;";
      document.body.appendChild(bar);
    }
    bar.textContent = "A pop-up blocker stopped a debug window. Allow pop-ups for " +
      window.location.host + " or open it here: ";
    var link = document.createElement("a");
    link.href = url;
    link.target = "_blank";
    link.textContent = url.length > 60 ? url.substring(0, 57) + "..." : url;
    link.addEventListener("click", function () { bar.parentNode.removeChild(bar); });
    bar.appendChild(link);
    var close = document.createElement("button");
    close.textContent = "\u00d7";
    close.style.cssText = "margin-left: 12px;";
    close.addEventListener("click", function () { bar.parentNode.removeChild(bar); });
    bar.appendChild(close);
  };

  // ------------------------------------------------------------------ views

  function escape_html(text) {
    return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
  }

  debug.page_source = function () {
    var doctype = document.doctype ? "<!DOCTYPE " + document.doctype.name + ">\n" : "";
    return doctype + document.documentElement.outerHTML;
  };

  debug.view_source = function () {
    var source = debug.page_source();
    var lines = source.split("\n");
    var html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>source of " +
      escape_html(document.title || window.location.pathname) + "</title></head>" +
      "<body style=\"margin: 0;\"><pre style=\"margin: 0; padding: 8px; font-size: 12px; tab-size: 4;\">";
    for (var n = 0; n < lines.length; ++n) {
      html += "<span style=\"color: #888; user-select: none;\">" + ("     " + (n + 1)).slice(-5) +
        "  </span>" + escape_html(lines[n]) + "\n";
    }
    html += "</pre></body></html>";
    var url = URL.createObjectURL(new Blob([html], { type: "text/html" }));
    return debug.open_window(url, "qn_source");
  };

  // The object the test page shows; the page reads it from its opener.
  debug.inspected = debug;
  debug.inspected_name = "qn_debug";

  debug.inspect = function (object, name) {
    debug.inspected = object === undefined ? window : object;
    debug.inspected_name = name || (object === undefined ? "window" : "object");
    return debug.open_window(debug.test_page_url, "qn_inspector");
  };

  debug.open_test_page = function () {
    return debug.inspect(debug, "qn_debug");
  };

  // --------------------------------------------------------------- watchdog

  // A timer that should tick every interval_ms; a tick that comes much later
  // means the page's thread was busy (or the tab was asleep) that long.
  debug.watchdog = {
    interval_ms: 500,
    limit_ms: 2000,
    stalls: 0,
    longest_ms: 0,
    last: 0,
    timer: 0,
    start: function () {
      var dog = debug.watchdog;
      if (dog.timer) return;
      dog.last = Date.now();
      dog.timer = window.setInterval(function () {
        var now = Date.now();
        var late = now - dog.last - dog.interval_ms;
        dog.last = now;
        if (late > dog.limit_ms) {
          dog.stalls += 1;
          if (late > dog.longest_ms) dog.longest_ms = late;
          if (window.console) window.console.warn("qn_debug: the page did not respond for " + late + " ms");
          debug.update_bar();
        }
      }, dog.interval_ms);
    },
    stop: function () {
      window.clearInterval(debug.watchdog.timer);
      debug.watchdog.timer = 0;
    }
  };

  // --------------------------------------------------------------- the bar

  debug.update_bar = function () {
    var state = document.getElementById("qn_debug_state");
    if (!state) return;
    var dog = debug.watchdog;
    state.textContent = debug.browser.name + " " + debug.browser.major +
      (debug.is_local() ? " \u00b7 local" : "") +
      (dog.stalls ? " \u00b7 stalls " + dog.stalls + " (" + dog.longest_ms + " ms)" : "");
  };

  function add_bar() {
    if (!document.body || document.getElementById("qn_debug_bar")) return;
    var bar = document.createElement("div");
    bar.id = "qn_debug_bar";
    bar.style.cssText = "position: fixed; left: 4px; bottom: 4px; z-index: 1999; padding: 2px 6px;" +
      " font: 11px Helvetica, Arial, sans-serif; border-radius: 4px; opacity: 0.8;" +
      " background-color: #262626; color: #dfdfe0;";
    var state = document.createElement("span");
    state.id = "qn_debug_state";
    bar.appendChild(state);
    var actions = [["source", debug.view_source], ["inspect", function () { debug.inspect(window, "window"); }],
                   ["test", debug.open_test_page]];
    for (var n = 0; n < actions.length; ++n) {
      var button = document.createElement("a");
      button.href = "#";
      button.textContent = actions[n][0];
      button.style.cssText = "color: Violet; margin-left: 8px;";
      button.addEventListener("click", (function (action) {
        return function (e) { e.preventDefault(); action(); };
      })(actions[n][1]));
      bar.appendChild(button);
    }
    document.body.appendChild(bar);
    debug.update_bar();
  }

  document.addEventListener("keydown", function (e) {
    if (!e.ctrlKey || !e.altKey) return;
    var key = (e.key || "").toLowerCase();
    if (key === "u") {
      e.preventDefault();
      debug.view_source();
    } else if (key === "i") {
      e.preventDefault();
      debug.inspect(window, "window");
    }
  });

  // The test page uses the module's functions but needs no bar of its own.
  var on_test_page = window.location.pathname.slice(-test_page.length) === test_page;
  window.addEventListener("load", function () {
    if (!on_test_page) add_bar();
    debug.watchdog.start();
  });
})();
