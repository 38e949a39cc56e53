// quillnest media browser. Loaded by every directory listing: on load it turns
// the listing into a player for its audio and video files and a viewer for its
// pictures, and it lets a row's icon copy the row's address.
//
// The listing it works on: the table with id "files", one anchor named "links"
// per row (href = the entry's name, "/" after a directory) and one cell named
// "dates" per row. Nothing here changes the listing's markup for good: every
// state shown in a row is put back when it ends.
(function () {
  "use strict";

  var g = window.g = window.g || {};
  g.eh = g.eh || {};
  g.theme = g.theme || {};

  var kinds = {
    audio: ["aif", "aiff", "flac", "m4a", "mp3", "mpa", "mpga", "oga", "ogg", "wav"],
    video: ["avi", "m4v", "mov", "mp2", "mp4", "mpeg", "mpg", "ogm", "ogv", "webm"],
    picture: ["apng", "avif", "bmp", "gif", "ico", "jpg", "jpeg", "png", "tga", "tif", "tiff", "webp"]
  };
  var kind_of = {};
  var kind_name;
  for (kind_name in kinds) {
    if (kinds.hasOwnProperty(kind_name)) {
      for (var i = 0; i < kinds[kind_name].length; ++i) kind_of[kinds[kind_name][i]] = kind_name;
    }
  }

  var save_interval_ms = 3000;
  var seek_step_s = 5;
  var volume_step = 0.1;

  var items = [];      // one per listing row: link, date cell, row, kind
  var playing = null;  // { item, media, panel, timer } while something plays
  var viewing = null;  // { item, overlay, picture, caption } while a picture shows

  // ---------------------------------------------------------------- helpers

  function extension_of(href) {
    var path = href.split("#")[0].split("?")[0];
    if (path.charAt(path.length - 1) === "/") return "";
    var name = path.substring(path.lastIndexOf("/") + 1);
    var dot = name.lastIndexOf(".");
    return dot < 0 ? "" : name.substring(dot + 1).toLowerCase();
  }

  function name_of(link) {
    var href = link.getAttribute("href") || "";
    try {
      return decodeURIComponent(href);
    } catch (e) {
      return href;
    }
  }

  function row_of(node) {
    while (node && node.className !== undefined && (" " + node.className + " ").indexOf(" qn_item ") < 0) {
      node = node.parentNode;
    }
    return node && node.className !== undefined ? node : null;
  }

  function position_key(item) {
    return "qn_position:" + item.link.href;
  }

  function storage() {
    try {
      return window.localStorage || null;
    } catch (e) {
      return null;
    }
  }

  function say(item, text) {
    if (!item.date) return;
    if (item.saved_date === undefined) item.saved_date = item.date.innerHTML;
    item.date.textContent = text;
  }

  function unsay(item) {
    if (item.date && item.saved_date !== undefined) {
      item.date.innerHTML = item.saved_date;
    }
    item.saved_date = undefined;
  }

  function mark(item, on) {
    if (!item.row) return;
    item.row.style.outline = on ? "2px solid MediumPurple" : "";
    item.row.style.outlineOffset = on ? "-2px" : "";
  }

  function media_error_text(media) {
    var codes = ["", "aborted", "network error", "cannot decode", "format not supported"];
    var code = media.error ? media.error.code : 0;
    return "error: " + (codes[code] || "unknown");
  }

  function next_of_kinds(from, step, wanted) {
    for (var n = 1; n <= items.length; ++n) {
      var j = (from + step * n + items.length * n) % items.length;
      if (wanted.indexOf(items[j].kind) >= 0) return items[j];
    }
    return null;
  }

  function toggle_full_screen(element) {
    var d = document;
    var current = d.fullscreenElement || d.webkitFullscreenElement;
    if (current) {
      (d.exitFullscreen || d.webkitExitFullscreen).call(d);
    } else if (element.requestFullscreen) {
      element.requestFullscreen();
    } else if (element.webkitRequestFullscreen) {
      element.webkitRequestFullscreen();
    }
  }

  // ------------------------------------------------------------ the player

  function save_position() {
    var store = storage();
    if (!playing || !store) return;
    var media = playing.media;
    try {
      if (media.ended) store.removeItem(position_key(playing.item));
      else if (media.currentTime > 0) store.setItem(position_key(playing.item), String(media.currentTime));
    } catch (e) {
      // a full or refused storage only costs the resume position
    }
  }

  function stop() {
    if (!playing) return;
    save_position();
    window.clearInterval(playing.timer);
    playing.media.pause();
    playing.media.removeAttribute("src");
    if (playing.panel.parentNode) playing.panel.parentNode.removeChild(playing.panel);
    unsay(playing.item);
    mark(playing.item, false);
    playing = null;
  }

  function play(item) {
    stop();
    close_viewer();
    var media = document.createElement(item.kind);
    var panel = document.createElement("div");
    panel.style.cssText = "position: fixed; right: 8px; bottom: 8px; z-index: 1000; padding: 6px;" +
      " border-radius: 8px; max-width: 60vw; background-color: " +
      (g.theme.is_dark ? "#161616" : "Lavender") + ";";
    media.controls = true;
    media.preload = "auto";
    media.style.cssText = "display: block; max-width: 100%; max-height: 60vh;" +
      (item.kind === "audio" ? " width: 320px;" : "");
    panel.appendChild(media);
    document.body.appendChild(panel);
    playing = { item: item, media: media, panel: panel, timer: 0 };
    mark(item, true);
    say(item, "loading");

    // events of a player that has since been stopped or replaced are stale
    function current() {
      return playing !== null && playing.media === media;
    }
    media.addEventListener("loadedmetadata", function () {
      var store = storage();
      var saved = store ? parseFloat(store.getItem(position_key(item))) : NaN;
      if (saved > 0 && (!isFinite(media.duration) || saved < media.duration - 1)) media.currentTime = saved;
    });
    media.addEventListener("playing", function () { if (current()) say(item, "playing"); });
    media.addEventListener("pause", function () { if (current() && !media.ended) say(item, "paused"); });
    media.addEventListener("waiting", function () { if (current()) say(item, "buffering"); });
    media.addEventListener("error", function () { if (current()) say(item, media_error_text(media)); });
    media.addEventListener("ended", function () {
      if (!current()) return;
      save_position();
      var next = next_of_kinds(item.index, 1, ["audio", "video"]);
      if (next && next.index > item.index) play(next);
      else stop();
    });
    playing.timer = window.setInterval(save_position, save_interval_ms);
    media.src = item.link.href;
    var started = media.play();
    if (started && started.then) {
      // a browser that allows no autoplay yet waits for a key or a click
      started.then(null, function () { if (current() && media.paused && !media.error) say(item, "press Space to play"); });
    }
    item.link.focus();
  }

  function toggle_pause() {
    if (!playing) return;
    if (playing.media.paused) playing.media.play();
    else playing.media.pause();
  }

  // ------------------------------------------------------------ the viewer

  function close_viewer() {
    if (!viewing) return;
    if (viewing.overlay.parentNode) viewing.overlay.parentNode.removeChild(viewing.overlay);
    unsay(viewing.item);
    mark(viewing.item, false);
    viewing.item.link.focus();
    viewing = null;
  }

  function show_picture(item) {
    stop();
    if (!viewing) {
      var overlay = document.createElement("div");
      var picture = document.createElement("img");
      var caption = document.createElement("div");
      overlay.style.cssText = "position: fixed; left: 0; top: 0; right: 0; bottom: 0; z-index: 1001;" +
        " display: flex; flex-direction: column; align-items: center; justify-content: center;" +
        " background-color: rgba(0, 0, 0, 0.85); cursor: zoom-out;";
      picture.style.cssText = "max-width: 96vw; max-height: 90vh; object-fit: contain;";
      caption.style.cssText = "color: #dfdfe0; padding-top: 8px; font-size: 14px;";
      overlay.appendChild(picture);
      overlay.appendChild(caption);
      overlay.addEventListener("click", close_viewer);
      document.body.appendChild(overlay);
      viewing = { item: item, overlay: overlay, picture: picture, caption: caption };
    } else {
      unsay(viewing.item);
      mark(viewing.item, false);
      viewing.item = item;
    }
    var shown = viewing;
    var pictures = items.filter(function (x) { return x.kind === "picture"; });
    var caption_text = item.name + "  (" + (pictures.indexOf(item) + 1) + " / " + pictures.length + ")";
    mark(item, true);
    say(item, "loading");
    shown.caption.textContent = caption_text;
    shown.picture.onload = function () {
      if (viewing !== shown || shown.item !== item) return;
      say(item, "viewing");
      shown.caption.textContent = caption_text + "  " + shown.picture.naturalWidth + "\u00d7" +
        shown.picture.naturalHeight;
    };
    shown.picture.onerror = function () {
      if (viewing !== shown || shown.item !== item) return;
      say(item, "error: cannot show picture");
      shown.caption.textContent = caption_text + "  cannot show this picture";
    };
    shown.picture.src = item.link.href;
  }

  function activate(item) {
    if (item.kind === "picture") show_picture(item);
    else if (item.kind) play(item);
  }

  // -------------------------------------------------------------- the icons

  function copy_text(text, done) {
    if (navigator.clipboard && navigator.clipboard.writeText) {
      navigator.clipboard.writeText(text).then(function () { done(true); }, function () { done(false); });
      return;
    }
    var area = document.createElement("textarea");
    area.value = text;
    area.style.cssText = "position: fixed; left: -1000px; top: 0;";
    document.body.appendChild(area);
    area.select();
    var ok = false;
    try {
      ok = document.execCommand("copy");
    } catch (e) {
      ok = false;
    }
    document.body.removeChild(area);
    done(ok);
  }

  function copy_address(item) {
    copy_text(item.link.href, function (ok) {
      if ((playing && playing.item === item) || (viewing && viewing.item === item)) return;
      say(item, ok ? "address copied" : "copy refused");
      window.setTimeout(function () {
        if (!(playing && playing.item === item) && !(viewing && viewing.item === item)) unsay(item);
      }, 1500);
    });
  }

  function add_style_rules() {
    var sheets = document.styleSheets;
    var sheet = null;
    try {
      sheet = sheets.length ? sheets[sheets.length - 1] : null;
      if (sheet) sheet.cssRules.length;
    } catch (e) {
      sheet = null;
    }
    if (!sheet) {
      var element = document.createElement("style");
      document.head.appendChild(element);
      sheet = element.sheet;
    }
    var rules = [".qn_icon { cursor: copy; }", ".qn_icon:hover { filter: grayscale(1) brightness(0.5); }"];
    for (var r = 0; r < rules.length; ++r) sheet.insertRule(rules[r], sheet.cssRules.length);
  }

  // ---------------------------------------------------------------- events

  function item_of(node) {
    while (node && node.nodeType === 1) {
      if (node.tagName === "A" && node.getAttribute("name") === "links") {
        for (var n = 0; n < items.length; ++n) if (items[n].link === node) return items[n];
        return null;
      }
      node = node.parentNode;
    }
    return null;
  }

  function on_click(e) {
    var item = item_of(e.target);
    if (!item || e.button !== 0 || e.ctrlKey || e.metaKey || e.shiftKey || e.altKey) return;
    var icon = e.target.tagName === "IMG" && (" " + e.target.className + " ").indexOf(" qn_icon ") >= 0;
    if (icon) {
      e.preventDefault();
      copy_address(item);
    } else if (item.kind) {
      e.preventDefault();
      activate(item);
    }
  }

  function key_of(e) {
    var names = { 13: "Enter", 27: "Escape", 32: " ", 37: "ArrowLeft", 38: "ArrowUp", 39: "ArrowRight",
      40: "ArrowDown", 70: "f", 81: "q", 107: "+", 109: "-", 179: "MediaPlayPause", 187: "=", 189: "-" };
    var key = e.key;
    if (key === "Esc") key = "Escape";
    if (key === "Spacebar") key = " ";
    if (key === "Left" || key === "Right" || key === "Up" || key === "Down") key = "Arrow" + key;
    if (!key || key === "Unidentified") key = names[e.keyCode] || "";
    return key.length === 1 ? key.toLowerCase() : key;
  }

  function on_key(e) {
    if (e.ctrlKey || e.altKey || e.metaKey) return;
    var target = e.target;
    if (target && (target.tagName === "INPUT" || target.tagName === "TEXTAREA")) return;
    var key = key_of(e);
    var handled = true;
    if (viewing) {
      if (key === "Escape" || key === "q") close_viewer();
      else if (key === "ArrowLeft" || key === "ArrowUp") show_picture(next_of_kinds(viewing.item.index, -1, ["picture"]));
      else if (key === "ArrowRight" || key === "ArrowDown" || key === " ") show_picture(next_of_kinds(viewing.item.index, 1, ["picture"]));
      else if (key === "f") toggle_full_screen(viewing.overlay);
      else handled = false;
    } else if (key === "Enter") {
      var focused = item_of(document.activeElement);
      if (focused && focused.kind === "picture") show_picture(focused);
      else handled = false;
    } else if (playing) {
      var media = playing.media;
      if (key === "Escape" || key === "q") stop();
      else if (key === " " || key === "MediaPlayPause") toggle_pause();
      else if (key === "ArrowLeft") media.currentTime = Math.max(0, media.currentTime - seek_step_s);
      else if (key === "ArrowRight") media.currentTime = media.currentTime + seek_step_s;
      else if (key === "ArrowUp") play(next_of_kinds(playing.item.index, -1, ["audio", "video"]));
      else if (key === "ArrowDown") play(next_of_kinds(playing.item.index, 1, ["audio", "video"]));
      else if (key === "+" || key === "=") media.volume = Math.min(1, media.volume + volume_step);
      else if (key === "-") media.volume = Math.max(0, media.volume - volume_step);
      else if (key === "f") toggle_full_screen(media);
      else handled = false;
    } else if (key === "MediaPlayPause") {
      var first = next_of_kinds(-1, 1, ["audio", "video"]);
      if (first) play(first);
      else handled = false;
    } else {
      handled = false;
    }
    if (handled) e.preventDefault();
  }

  // A query (or, without one, a fragment) names the entry to start with: its
  // index in the list or its file name.
  function start_from_address() {
    var wanted = window.location.search.substring(1) || window.location.hash.substring(1);
    if (!wanted) return;
    try {
      wanted = decodeURIComponent(wanted);
    } catch (e) {
      return;
    }
    var item = null;
    if (/^[0-9]+$/.test(wanted)) {
      item = items[parseInt(wanted, 10)] || null;
    } else {
      for (var n = 0; n < items.length && !item; ++n) {
        var name = items[n].name;
        if (name === wanted || name === wanted + "/") item = items[n];
      }
    }
    if (!item) return;
    if (item.row && item.row.scrollIntoView) item.row.scrollIntoView({ block: "center" });
    if (item.kind) activate(item);
    else item.link.focus();
  }

  // ---------------------------------------------------------------- set-up

  function load() {
    var table = document.getElementById("files");
    if (!table) return;
    var links = document.getElementsByName("links");
    var dates = document.getElementsByName("dates");
    for (var n = 0; n < links.length; ++n) {
      var link = links[n];
      var row = row_of(link);
      var date = null;
      for (var d = 0; d < dates.length && !date; ++d) if (row_of(dates[d]) === row) date = dates[d];
      items.push({
        index: n,
        link: link,
        row: row,
        date: date,
        name: name_of(link),
        kind: kind_of[extension_of(link.getAttribute("href") || "")] || "",
        saved_date: undefined
      });
    }
    add_style_rules();
    table.addEventListener("click", on_click);
    document.addEventListener("keydown", on_key);
    window.addEventListener("beforeunload", save_position);
    start_from_address();
  }

  // ------------------------------------------------------- the page's helpers

  var dark_query = window.matchMedia ? window.matchMedia("(prefers-color-scheme: dark)") : null;
  g.theme.is_dark = !!(dark_query && dark_query.matches);
  if (dark_query) {
    var follow = function () { g.theme.is_dark = dark_query.matches; };
    if (dark_query.addEventListener) dark_query.addEventListener("change", follow);
    else if (dark_query.addListener) dark_query.addListener(follow);
  }

  // Sets an iframe's height to the height of its document (the listing's
  // README.md panel calls this from its onload).
  g.eh.resize_iframe = function (frame) {
    var doc;
    try {
      doc = frame.contentDocument || frame.contentWindow.document;
    } catch (e) {
      return;
    }
    if (!doc || !doc.body) return;
    var height = Math.max(doc.body.scrollHeight, doc.documentElement ? doc.documentElement.scrollHeight : 0);
    frame.style.height = height + "px";
  };

  g.media = { items: items, kinds: kinds, play: activate, stop: stop, close: close_viewer };

  window.addEventListener("load", load, false);
})();
